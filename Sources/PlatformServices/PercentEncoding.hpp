#pragma once

#include <string>
#include <string_view>

namespace plenwick {

// Bytes written as "%" and two hex digits, as RFC 3986 spells them. URIs and D-Bus addresses
// share the escape and differ only in which bytes may stand as they are.
namespace PercentEncoding {

// The punctuation a file URI's path keeps as it is: RFC 3986's pchar and the "/" between
// segments. SQLite's "file:" URIs read the same path.
inline constexpr std::string_view uriPath = "-._~!$&'()*+,;=:@/";
// The punctuation the D-Bus specification lets a value of an address keep; everything else,
// among it the ",", ";" and "=" that separate an address's parts, must be escaped.
inline constexpr std::string_view dbusAddressValue = "-_/.\\*";

// Every byte of `text` other than an ASCII letter, a digit or a character of `kept` as %XX,
// with upper-case digits.
std::string encoded(std::string_view text, std::string_view kept);
// Undoes %XX escapes (either case); a % without two hex digits after it stands for itself.
std::string decoded(std::string_view text);

} // namespace PercentEncoding

} // namespace plenwick
