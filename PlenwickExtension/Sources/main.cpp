#include "PlenwickCore/PlenwickCore.hpp"
#include "ShareCommandLine.hpp"
#include "ShareHost.hpp"

#include <iostream>

using namespace plenwick;

int main(int argc, char** argv) {
    ShareHost::holdDismissalSignals();

    std::vector<std::string> arguments(argv + 1, argv + argc);
    std::string error;
    auto line = ShareCommandLine::parse(arguments, error);
    if (!line) {
        std::cerr << "plenwick-share: " << error << "\n" << ShareCommandLine::usage();
        return 2;
    }
    if (line->action == ShareCommandLine::Action::help) {
        std::cout << ShareCommandLine::usage();
        return 0;
    }
    if (line->action == ShareCommandLine::Action::version) {
        std::cout << "plenwick-share " << PlenwickCore::version() << " ("
                  << PlenwickCore::buildNumber() << ")\n";
        return 0;
    }
    if (!PlenwickCore::start(argv[0])) {
        std::cerr << "plenwick-share: the image library could not start\n";
        return 1;
    }
    return ShareHost::run(*line, argc, argv);
}
