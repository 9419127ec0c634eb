#pragma once

#include <filesystem>

namespace plenwick {

// The freedesktop user folders, as user-dirs.dirs names them.
namespace XdgUserDirs {

std::filesystem::path home();
// $XDG_CONFIG_HOME, or ~/.config.
std::filesystem::path configHome();
// $XDG_CACHE_HOME, or ~/.cache.
std::filesystem::path cacheHome();
// XDG_PICTURES_DIR with $HOME expanded; ~/Pictures when it is missing or names $HOME itself.
std::filesystem::path pictures();

} // namespace XdgUserDirs

} // namespace plenwick
