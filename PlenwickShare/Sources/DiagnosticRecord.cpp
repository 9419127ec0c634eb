#include "DiagnosticRecord.hpp"

#include "PlatformServices/ListNotation.hpp"
#include "PlatformServices/UTF8.hpp"

#include <cstdio>
#include <ctime>

namespace plenwick {

std::string DiagnosticRecord::formatDate(std::chrono::system_clock::time_point date) {
    std::time_t seconds = std::chrono::system_clock::to_time_t(date);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S +0000", &utc);
    return text;
}

namespace {

// The summary carries the notification body, whose file names may hold line breaks and bytes
// that are not UTF-8; repaired, and with its line breaks and controls escaped, the record stays
// one line of UTF-8. Unlike ListNotation's elements it is not quoted: it is the rest of the line,
// read as the body was shown, so its quotes and backslashes stay as they are.
std::string oneLine(const std::string& text) {
    std::string line;
    for (unsigned char c : UTF8::repaired(text)) {
        if (c == '\n') {
            line += "\\n";
        } else if (c == '\r') {
            line += "\\r";
        } else if (c == '\t') {
            line += "\\t";
        } else if (c < 0x20 || c == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u{%x}", c);
            line += escaped;
        } else {
            line += static_cast<char>(c);
        }
    }
    return line;
}

} // namespace

std::string DiagnosticRecord::text() const {
    return formatDate(date) + " items=" + std::to_string(items) +
           " types=" + ListNotation::format(providerTypes) +
           " loaded=" + ListNotation::format(loaded) + " notes=" + ListNotation::format(notes) +
           " nudge=" + nudge.value_or("none") + " " + oneLine(summary);
}

} // namespace plenwick
