#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace plenwick {

// The one-line textual form of a list of strings, used in the loader's notes and the diagnostic
// log: ["public.jpeg", "say \"cheese\"\n"]. Each element is quoted with a backslash before a
// double quote or backslash; control characters become \0, \t, \n, \r or \u{hex}, and bytes
// that are not UTF-8 become U+FFFD, so the result is always one line of valid UTF-8. The quotes
// delimit an element, which is why a quote or backslash inside one is escaped; the diagnostic
// record's summary is no list element and keeps its own rule (DiagnosticRecord.cpp).
namespace ListNotation {

std::string format(const std::vector<std::string>& elements);
std::string quoted(std::string_view element);

} // namespace ListNotation

} // namespace plenwick
