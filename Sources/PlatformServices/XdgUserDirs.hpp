#pragma once

#include <filesystem>

namespace plenwick {

// The freedesktop user folders, as user-dirs.dirs names them.
struct XdgUserDirs {
    XdgUserDirs() = delete;

    static std::filesystem::path home();
    // $XDG_CONFIG_HOME, or ~/.config.
    static std::filesystem::path configHome();
    // $XDG_CACHE_HOME, or ~/.cache.
    static std::filesystem::path cacheHome();
    // XDG_PICTURES_DIR with $HOME expanded; ~/Pictures when it is missing or names $HOME itself.
    static std::filesystem::path pictures();
};

} // namespace plenwick
