#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace plenwick {

// File names and piped bytes are byte strings that may or may not be UTF-8; the journal, the
// diagnostic log and D-Bus want valid UTF-8. These helpers tell the two apart.
namespace UTF8 {

struct Sequence {
    char32_t codePoint;
    size_t length;
};

// The code point starting at `offset`; nothing for a byte that starts no valid sequence
// (stray continuation, overlong form, surrogate, beyond U+10FFFF, cut off at the end).
std::optional<Sequence> decode(std::string_view text, size_t offset);
bool isValid(std::string_view text);
// The text with every byte that starts no valid sequence replaced by U+FFFD.
std::string repaired(std::string_view text);
void append(std::string& text, char32_t codePoint);

} // namespace UTF8

} // namespace plenwick
