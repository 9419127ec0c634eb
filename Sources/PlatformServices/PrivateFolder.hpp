#pragma once

#include "PlatformServices/Expected.hpp"
#include "PlatformServices/SystemError.hpp"

#include <filesystem>

namespace plenwick {

// Folders only the user may enter, as the base directory rules ask of the ones a program makes.
namespace PrivateFolder {

// Creates `folder` and its missing parents with mode 0700; folders already there stay as they
// are. The error is the system's own message, about the first folder that could not be made.
Expected<void, SystemError> create(const std::filesystem::path& folder);

} // namespace PrivateFolder

} // namespace plenwick
