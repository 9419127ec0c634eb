#pragma once

#include "PlatformServices/Expected.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace plenwick {

// plenwick [--help] [--version]: the window takes no files and no options of the toolkit's.
struct SettingsCommandLine {
    enum class Action { openWindow, help, version };

    Action action = Action::openWindow;

    // The one line that follows a usage error.
    static constexpr std::string_view usage = "Usage: plenwick [--help] [--version]\n";

    // The usage error in words when the arguments are not the window's.
    static Expected<SettingsCommandLine, std::string>
    parse(const std::vector<std::string>& arguments);
    // The usage line and what the program does, for --help.
    static std::string help();
};

} // namespace plenwick
