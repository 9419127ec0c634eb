#include "PlenwickCore/VersionCollector.hpp"

#include <algorithm>
#include <charconv>

#include <utf8proc.h>

namespace plenwick {

namespace {

constexpr std::string_view versionName = "sparkle:version";

// White space and line ends as Unicode counts them: the separators and the ASCII and C1
// controls that end or space lines.
bool isWhiteSpaceOrNewline(utf8proc_int32_t codePoint) {
    if ((codePoint >= 0x09 && codePoint <= 0x0d) || codePoint == 0x85)
        return true;
    utf8proc_category_t category = utf8proc_category(codePoint);
    return category == UTF8PROC_CATEGORY_ZS || category == UTF8PROC_CATEGORY_ZL ||
           category == UTF8PROC_CATEGORY_ZP;
}

std::string_view trimmed(std::string_view text) {
    size_t first = text.size();
    size_t end = 0;
    size_t offset = 0;
    while (offset < text.size()) {
        utf8proc_int32_t codePoint = 0;
        utf8proc_ssize_t length =
            utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data() + offset),
                             static_cast<utf8proc_ssize_t>(text.size() - offset), &codePoint);
        if (length <= 0) {
            // The parser hands over valid UTF-8; a stray byte simply counts as content.
            length = 1;
            codePoint = -1;
        }
        if (codePoint < 0 || !isWhiteSpaceOrNewline(codePoint)) {
            first = std::min(first, offset);
            end = offset + static_cast<size_t>(length);
        }
        offset += static_cast<size_t>(length);
    }
    if (first >= end)
        return {};
    return text.substr(first, end - first);
}

} // namespace

std::optional<int64_t> VersionCollector::buildNumber(std::string_view text) {
    std::string_view digits = text;
    if (digits.starts_with('+') || digits.starts_with('-'))
        digits.remove_prefix(1);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    // from_chars reads the minus sign itself but not a plus.
    std::string_view number = text.starts_with('+') ? digits : text;
    int64_t value = 0;
    auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (error != std::errc() || end != number.data() + number.size())
        return std::nullopt;
    return value;
}

void VersionCollector::elementStarted(std::string_view name, const char* const* attributes) {
    if (name == versionName) {
        m_inVersionElement = true;
        m_text.clear();
        return;
    }
    if (name != "enclosure")
        return;
    for (const char* const* pair = attributes; pair[0]; pair += 2) {
        if (versionName != pair[0] || !*pair[1])
            continue;
        if (auto build = buildNumber(pair[1]))
            m_builds.push_back(*build);
    }
}

void VersionCollector::characters(std::string_view text) {
    if (m_inVersionElement)
        m_text += text;
}

void VersionCollector::elementEnded(std::string_view name) {
    if (name != versionName)
        return;
    m_inVersionElement = false;
    // The text stays until the next version element starts.
    std::string_view value = trimmed(m_text);
    if (auto build = value.empty() ? std::nullopt : buildNumber(value))
        m_builds.push_back(*build);
}

} // namespace plenwick
