#include "ShareCommandLine.hpp"

namespace plenwick {

Expected<ShareCommandLine, std::string>
ShareCommandLine::parse(const std::vector<std::string>& arguments) {
    ShareCommandLine line;
    bool optionsEnded = false;
    for (const std::string& argument : arguments) {
        if (optionsEnded || argument == "-" || !argument.starts_with("-")) {
            line.inputs.push_back(argument);
        } else if (argument == "--") {
            optionsEnded = true;
        } else if (argument == "--no-window") {
            line.noWindow = true;
        } else if (argument == "--help" || argument == "-h") {
            line.action = Action::help;
        } else if (argument == "--version") {
            line.action = Action::version;
        } else {
            return "unknown option " + argument;
        }
    }
    if (line.action == Action::share && line.inputs.empty())
        return std::string("no files to share");
    return line;
}

std::string ShareCommandLine::usage() {
    return "Usage: plenwick-share [--no-window] [--help] [--version] FILE|URI|- ...\n"
           "Writes each photo, downscaled for every export spec, as a JPEG into the Socials\n"
           "folder of your Pictures folder, and tells the outcome in a notification.\n"
           "\n"
           "  FILE, URI     a local image file or a file:// URI\n"
           "  -             image bytes on standard input\n"
           "  --no-window   show progress in the terminal instead of a window\n"
           "  --help        show this text\n"
           "  --version     show the version\n";
}

} // namespace plenwick
