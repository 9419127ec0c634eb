#include "PlatformServices/XdgUserDirs.hpp"

#include <cstdlib>
#include <fstream>
#include <optional>
#include <pwd.h>
#include <string>
#include <unistd.h>

namespace plenwick {

namespace {

// The value of a KEY="..." line: shell-style quoting with backslash escapes, $HOME expanded.
std::optional<std::filesystem::path> userDir(const std::filesystem::path& file,
                                             const std::string& key) {
    std::ifstream stream(file);
    std::string line;
    std::optional<std::filesystem::path> found;
    while (std::getline(stream, line)) {
        size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#')
            continue;
        std::string_view rest(line);
        rest.remove_prefix(start);
        if (!rest.starts_with(key + "="))
            continue;
        rest.remove_prefix(key.size() + 1);
        if (!rest.starts_with('"'))
            continue;
        rest.remove_prefix(1);

        std::string value;
        bool closed = false;
        for (size_t i = 0; i < rest.size(); ++i) {
            if (rest[i] == '\\' && i + 1 < rest.size()) {
                value += rest[++i];
            } else if (rest[i] == '"') {
                closed = true;
                break;
            } else {
                value += rest[i];
            }
        }
        if (!closed)
            continue;
        std::string home = XdgUserDirs::home().string();
        if (value.starts_with("$HOME"))
            value = home + value.substr(5);
        if (value.empty() || value.front() != '/')
            continue;
        // The last line for a key wins, as in the shell that reads the file.
        found = std::filesystem::path(value);
    }
    return found;
}

} // namespace

std::filesystem::path XdgUserDirs::home() {
    if (const char* home = std::getenv("HOME"); home && *home)
        return home;
    if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir)
        return entry->pw_dir;
    return "/";
}

std::filesystem::path XdgUserDirs::configHome() {
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config == '/')
        return config;
    return home() / ".config";
}

std::filesystem::path XdgUserDirs::cacheHome() {
    if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache && *cache == '/')
        return cache;
    return home() / ".cache";
}

std::filesystem::path XdgUserDirs::pictures() {
    auto dir = userDir(configHome() / "user-dirs.dirs", "XDG_PICTURES_DIR");
    std::filesystem::path homeDir = home();
    if (!dir || dir->lexically_normal() == homeDir.lexically_normal() ||
        dir->lexically_normal() == (homeDir / "").lexically_normal())
        return homeDir / "Pictures";
    return *dir;
}

} // namespace plenwick
