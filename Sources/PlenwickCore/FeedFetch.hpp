#pragma once

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

struct Result {
    enum class Outcome { answered, failed, cancelled };

    Outcome outcome = Outcome::failed;
    // The HTTP status of an answer; 0 when there was no status line.
    long status = 0;
    std::string body;
    // libcurl's words for a failed request.
    std::string failure;
    // The answer was larger than the cap; then the request failed.
    bool tooLarge = false;
};

Result get(const std::string& url, std::chrono::milliseconds connectTimeout,
           std::chrono::milliseconds totalTimeout, std::stop_token stop);

} // namespace FeedFetch

} // namespace plenwick
