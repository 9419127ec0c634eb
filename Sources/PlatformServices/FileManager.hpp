#pragma once

#include "PlatformServices/Expected.hpp"
#include "PlatformServices/SystemError.hpp"

#include <chrono>
#include <filesystem>
#include <vector>

namespace plenwick {

// The desktop's file manager, reached through org.freedesktop.FileManager1 on the session bus.
namespace FileManager {

// Asks the file manager to open the folders that hold `items`, with the items selected.
// An error when no file manager answered in time (no session bus, none running or
// activatable, or an error reply); callers then open the folder some other way.
Expected<void, SystemError> showItems(const std::vector<std::filesystem::path>& items,
                                      std::chrono::milliseconds timeout = std::chrono::seconds(5));

} // namespace FileManager

} // namespace plenwick
