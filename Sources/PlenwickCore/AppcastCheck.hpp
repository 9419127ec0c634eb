#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plenwick {

// The fixed facts and pure rules of the update nudge and the settings window's check: where the
// feed lives, how often it may be asked, what the nudge says and how the latest build and its
// pages are read out of a feed. No input or output.
namespace AppcastCheck {

using Date = std::chrono::system_clock::time_point;

// The newest build a feed announces, and where it is offered: the addresses of the first item
// that announces it, best first (its enclosures that carry the build, all its enclosures, its
// links), as written. Which of them may be opened is for the one who opens it to judge.
struct Release {
    int64_t build = 0;
    std::vector<std::string> pages;
};

inline constexpr std::string_view feedURL = "https://updates.brindlemoor.com/plenwick/appcast.xml";
// Seconds between two feed requests.
inline constexpr double interval = 86400;
inline constexpr std::string_view nudge = " \u00b7 Update available: open Plenwick";

// PLENWICK_FEED_URL when it is set and not empty (tests, staging), else feedURL.
std::string feedURLFromEnvironment();

// The greatest build number the feed announces, with its pages; nothing when it announces
// none or is not a well-formed document. Besides the encodings expat knows, a feed may be in
// any single-byte charset that iconv knows (windows-1252 and the like). External entities are
// never loaded.
std::optional<Release> latestRelease(std::string_view document);
// The build of latestRelease.
std::optional<int64_t> latestBuild(std::string_view document);
// Due when there was no check yet or the last one is at least `interval` seconds old.
bool shouldCheck(Date now, std::optional<Date> last);
// The nudge when a newer build than the running one is known.
std::optional<std::string> nudgeText(int64_t current, std::optional<int64_t> latest);

} // namespace AppcastCheck

} // namespace plenwick
