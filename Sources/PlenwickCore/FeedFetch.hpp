#pragma once

#include "PlatformServices/Expected.hpp"

#include <chrono>
#include <cstddef>
#include <stop_token>
#include <string>

namespace plenwick {

// One GET of an update feed, as both programs make it: a plain request with nothing kept (no
// cookies, no cache), certificates verified, http and https only and no downgrade on a
// redirect, at most five redirects, a 1 MiB cap on the answer and time-outs. Blocks; a stop
// request aborts the transfer at once.
namespace FeedFetch {

inline constexpr size_t maximumSize = 1 << 20;

// What the server answered.
struct Answer {
    // The HTTP status; 0 when there was no status line.
    long status = 0;
    std::string body;
};

// Why there is no answer.
struct Failure {
    enum class Kind {
        // The request failed: libcurl's words are in the message.
        failed,
        // The answer was larger than the cap.
        tooLarge,
        // A stop request ended it.
        cancelled,
    };
    Kind kind = Kind::failed;
    std::string message;
};

Expected<Answer, Failure> get(const std::string& url, std::chrono::milliseconds connectTimeout,
                              std::chrono::milliseconds totalTimeout, std::stop_token stop);

} // namespace FeedFetch

} // namespace plenwick
