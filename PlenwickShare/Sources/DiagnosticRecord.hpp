#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace plenwick {

// One line of the hidden diagnostic log: what the share was handed, what it loaded, what the
// loader noted, the update nudge and the summary line.
struct DiagnosticRecord {
    std::chrono::system_clock::time_point date;
    int64_t items = 0;
    std::vector<std::string> providerTypes;
    std::vector<std::string> loaded;
    std::vector<std::string> notes;
    std::optional<std::string> nudge;
    std::string summary;

    // The record without its line feed.
    std::string text() const;

    // "2026-12-09 01:23:45 +0000": always UTC.
    static std::string formatDate(std::chrono::system_clock::time_point date);
};

} // namespace plenwick
