#pragma once

#include "PlatformServices/Preferences.hpp"
#include "PlenwickCore/FeedFetch.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

namespace plenwick {

// Whether a share's notification ends with the update nudge. Asks the feed at most once a day
// and remembers the answer in the suite, which the share's other processes see too:
//     UpdateNudge{AppcastCheck::feedURLFromEnvironment(), preferences, build}.suffix(stop)
class UpdateNudge {
public:
    using Date = Preferences::Date;
    // Safe to call from any thread.
    using Clock = std::function<Date()>;

    static constexpr std::string_view lastCheckKey = "updateLastCheck";
    static constexpr std::string_view latestBuildKey = "updateLatestBuild";
    // Bounds both the connection and the whole request, so the nudge never holds up a share
    // by more than this after its export.
    static constexpr std::chrono::milliseconds timeout{2000};
    // A larger answer is a failed request, not a feed.
    static constexpr size_t maximumFeedSize = FeedFetch::maximumSize;

    // Where the nudge keeps the time of its last check and the build it found: `suite` itself,
    // unless that lives only in memory (a read-only configuration folder); then a suite of its
    // own in ${XDG_CACHE_HOME:-~/.cache}/plenwick/, so that a day still means one fetch. `suite`
    // again when that cannot be opened either.
    static std::shared_ptr<Preferences> checkSuite(std::shared_ptr<Preferences> suite);

    UpdateNudge(
        std::string feedURL, std::shared_ptr<Preferences> preferences, int64_t currentBuild,
        Clock now = [] { return std::chrono::system_clock::now(); });

    // The nudge, or nothing. Fetches the feed when a check is due; a stop request aborts the
    // request at once, stores nothing and leaves the check due. Never fails: every problem
    // means no new information.
    std::optional<std::string> suffix(std::stop_token stop = {}) const;

private:
    struct Fetch;
    Fetch fetchLatestBuild(std::stop_token stop) const;

    std::string m_feedURL;
    std::shared_ptr<Preferences> m_preferences;
    int64_t m_currentBuild = 0;
    Clock m_now;
};

} // namespace plenwick
