#pragma once

#include "PlatformServices/Expected.hpp"
#include "PlatformServices/SystemError.hpp"

#include <string>
#include <string_view>

namespace plenwick {

namespace Uuid {

// A new random (version 4) UUID in its 36-character form, upper case:
// "E621E1F8-C36C-495A-93FC-0C247A3E6E5F"; an error when the kernel gives no random bytes.
Expected<std::string, SystemError> random();
// Whether `text` has exactly the form random() gives: upper-case hexadecimal digits in
// groups of 8-4-4-4-12, version 4 and the variant of RFC 4122.
bool isRandom(std::string_view text);

} // namespace Uuid

} // namespace plenwick
