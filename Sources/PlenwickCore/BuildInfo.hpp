#pragma once

#include <cstdint>
#include <string_view>

// What this build of Plenwick is, as CMake named it when it was configured.
namespace plenwick::BuildInfo {

// The release ("0.1.0").
std::string_view version();
// The build ("7"); empty when it gave none.
std::string_view build();
// The number the update feed is compared with; 0 when the build gave none that reads as one.
int64_t buildNumber();

} // namespace plenwick::BuildInfo
