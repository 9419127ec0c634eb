#include "PlenwickCore/BuildInfo.hpp"
#include "PlenwickCore/ImageLibrary.hpp"
#include "ShareCommandLine.hpp"
#include "ShareHost.hpp"

#include <clocale>
#include <csignal>
#include <exception>
#include <iostream>
#include <string_view>

using namespace plenwick;

namespace {

int share(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    auto parsed = ShareCommandLine::parse(arguments);
    if (!parsed) {
        std::cerr << "plenwick-share: " << parsed.error() << "\n" << ShareCommandLine::usage();
        return 2;
    }
    const ShareCommandLine& line = parsed.value();
    if (line.action == ShareCommandLine::Action::help) {
        std::cout << ShareCommandLine::usage();
        return 0;
    }
    if (line.action == ShareCommandLine::Action::version) {
        // The build as given, as the settings window shows it: "?" when the build named none.
        const std::string_view build = BuildInfo::build();
        std::cout << "plenwick-share " << BuildInfo::version() << " ("
                  << (build.empty() ? std::string_view("?") : build) << ")\n";
        return 0;
    }
    // The image library starts here, before any thread. Should it fail, the share still runs,
    // to end as a failed share with the notification and the record any other fault gets: the
    // share asks again and is given this answer, with its words.
    static_cast<void>(ImageLibrary::start(argv[0]));
    return ShareHost::run(line, argv[0]);
}

} // namespace

int main(int argc, char** argv) {
    // The user's locale in the terminal as in the window, whose toolkit sets it anyway; records
    // and log lines write their numbers the same in every locale.
    std::setlocale(LC_ALL, "");
    // A reader of the progress lines or of the last line that goes away (`| head -n1`) costs
    // that text, never the share: the writes then fail with EPIPE, and nothing checks them.
    std::signal(SIGPIPE, SIG_IGN);
    ShareHost::holdDismissalSignals();
    // The share itself turns what goes wrong into its outcome; this only keeps anything that
    // still escapes from aborting the program.
    try {
        return share(argc, argv);
    } catch (const std::exception& error) {
        std::cerr << "plenwick-share: " << error.what() << "\n";
    } catch (...) {
        std::cerr << "plenwick-share: an unexpected error\n";
    }
    return 1;
}
