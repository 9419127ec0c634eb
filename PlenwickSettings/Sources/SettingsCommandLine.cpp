#include "SettingsCommandLine.hpp"

namespace plenwick {

Expected<SettingsCommandLine, std::string>
SettingsCommandLine::parse(const std::vector<std::string>& arguments) {
    SettingsCommandLine line;
    for (const std::string& argument : arguments) {
        if (argument == "--help" || argument == "-h")
            line.action = Action::help;
        else if (argument == "--version")
            line.action = Action::version;
        else if (argument.starts_with("-"))
            return "unknown option " + argument;
        else
            return "unexpected argument " + argument;
    }
    return line;
}

std::string SettingsCommandLine::help() {
    return std::string(usage) +
           "Opens the settings window of Plenwick: the export specs that plenwick-share writes\n"
           "with, the notifications and the update check. A window that is open already comes\n"
           "to the front.\n"
           "\n"
           "  --help        show this text\n"
           "  --version     show the version\n";
}

} // namespace plenwick
