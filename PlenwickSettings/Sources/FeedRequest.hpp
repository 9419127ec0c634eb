#pragma once

#include "PlatformServices/Expected.hpp"

#include <cstddef>
#include <stop_token>
#include <string>

#include <QString>

namespace plenwick {

// One GET of the update feed for a check the user started: TLS verified, no cookies, time-outs
// and a size cap. Blocks; a stop request aborts it within a moment.
struct FeedRequest {
    FeedRequest() = delete;

    // The document, or why there is none, in words for the user.
    static Expected<std::string, QString> fetch(const std::string& url, std::stop_token stop);
};

} // namespace plenwick
