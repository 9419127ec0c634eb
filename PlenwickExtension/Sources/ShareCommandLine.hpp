#pragma once

#include <optional>
#include <string>
#include <vector>

namespace plenwick {

// plenwick-share [--no-window] [--help] [--version] FILE|URI|- ...
struct ShareCommandLine {
    enum class Action { share, help, version };

    Action action = Action::share;
    bool noWindow = false;
    std::vector<std::string> inputs;

    // Nothing, with `error` set, for a usage error.
    static std::optional<ShareCommandLine> parse(const std::vector<std::string>& arguments,
                                                 std::string& error);
    static std::string usage();
};

} // namespace plenwick
