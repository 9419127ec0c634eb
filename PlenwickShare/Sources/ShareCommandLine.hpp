#pragma once

#include "PlatformServices/Expected.hpp"

#include <string>
#include <vector>

namespace plenwick {

// plenwick-share [--no-window] [--help] [--version] FILE|URI|- ...
struct ShareCommandLine {
    enum class Action { share, help, version };

    Action action = Action::share;
    bool noWindow = false;
    std::vector<std::string> inputs;

    // The usage error in words when the arguments do not make a share.
    static Expected<ShareCommandLine, std::string> parse(const std::vector<std::string>& arguments);
    static std::string usage();
};

} // namespace plenwick
