#include "PlenwickCore/UpdateNudge.hpp"

#include "PlatformServices/Log.hpp"
#include "PlatformServices/XdgUserDirs.hpp"
#include "PlenwickCore/AppcastCheck.hpp"
#include "PlenwickCore/FeedFetch.hpp"

namespace plenwick {

namespace {

constexpr Log logger("update");

// A read that failed counts as a key never written, as a check time or build not kept does:
// worth a line in the log, not a failure.
template <typename T>
std::optional<T> valueOrNothing(const Expected<std::optional<T>, SystemError>& read,
                                const char* what) {
    if (read)
        return read.value();
    logger.info("%s not read: %s", what, read.error().message.c_str());
    return std::nullopt;
}

} // namespace

struct UpdateNudge::Fetch {
    enum class Outcome { ended, abandoned };

    Outcome outcome = Outcome::ended;
    // The feed's latest build; nothing when the answer was unusable.
    std::optional<int64_t> latestBuild;

    static Fetch ended(std::optional<int64_t> build = std::nullopt) {
        return {Outcome::ended, build};
    }
    static Fetch abandoned() { return {Outcome::abandoned, std::nullopt}; }
};

std::shared_ptr<Preferences> UpdateNudge::checkSuite(std::shared_ptr<Preferences> suite) {
    if (!suite || !suite->isInMemory())
        return suite;
    auto cached = Preferences::open(XdgUserDirs::cacheHome() / "plenwick" / "update-check.sqlite3");
    if (!cached) {
        logger.info("update check kept in memory: %s", cached.error().message.c_str());
        return suite;
    }
    return cached.value();
}

UpdateNudge::UpdateNudge(std::string feedURL, std::shared_ptr<Preferences> preferences,
                         int64_t currentBuild, Clock now)
    : m_feedURL(std::move(feedURL)), m_preferences(std::move(preferences)),
      m_currentBuild(currentBuild),
      m_now(now ? std::move(now) : [] { return std::chrono::system_clock::now(); }) {}

std::optional<std::string> UpdateNudge::suffix(std::stop_token stop) const {
    std::optional<Date> lastCheck =
        m_preferences ? valueOrNothing(m_preferences->date(lastCheckKey), "update check time")
                      : std::nullopt;
    if (AppcastCheck::shouldCheck(m_now(), lastCheck)) {
        Fetch fetch = fetchLatestBuild(stop);
        // A cancelled request leaves the check due, so the next share asks again.
        if (fetch.outcome == Fetch::Outcome::ended && m_preferences) {
            // Unrecorded, the check is due again at the next share: worth a line, not a failure.
            if (auto stored = m_preferences->setDate(lastCheckKey, m_now()); !stored)
                logger.info("update check time not kept: %s", stored.error().message.c_str());
            if (fetch.latestBuild) {
                if (auto stored = m_preferences->setInteger(latestBuildKey, *fetch.latestBuild);
                    !stored)
                    logger.info("latest build not kept: %s", stored.error().message.c_str());
            }
        }
    }
    std::optional<int64_t> known =
        m_preferences ? valueOrNothing(m_preferences->integer(latestBuildKey), "latest build")
                      : std::nullopt;
    return AppcastCheck::nudgeText(m_currentBuild, known);
}

UpdateNudge::Fetch UpdateNudge::fetchLatestBuild(std::stop_token stop) const {
    auto fetched = FeedFetch::get(m_feedURL, timeout, timeout, stop);
    if (!fetched) {
        if (fetched.error().kind == FeedFetch::Failure::Kind::cancelled)
            return Fetch::abandoned();
        logger.info("appcast fetch failed: %s", fetched.error().message.c_str());
        return Fetch::ended();
    }
    const FeedFetch::Answer& answer = fetched.value();
    if (answer.status < 200 || answer.status > 299) {
        // No status line at all would be 0; it is told as -1.
        logger.info("appcast fetch: HTTP %ld", answer.status == 0 ? -1L : answer.status);
        return Fetch::ended();
    }
    std::optional<int64_t> latest = AppcastCheck::latestBuild(answer.body);
    logger.info("appcast fetch: latest build %ld, current %ld", latest.value_or(-1),
                m_currentBuild);
    return Fetch::ended(latest);
}

} // namespace plenwick
