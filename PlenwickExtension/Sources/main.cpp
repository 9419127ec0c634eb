#include "PlatformServices/XdgUserDirs.hpp"
#include "PlenwickCore/ExportRun.hpp"
#include "PlenwickCore/ExportSpec.hpp"
#include "PlenwickCore/PlenwickCore.hpp"
#include "ShareCommandLine.hpp"

#include <iostream>

using namespace plenwick;

int main(int argc, char** argv) {
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
        std::cout << "plenwick-share " << PlenwickCore::version << " (" << PLENWICK_BUILD_NUMBER
                  << ")\n";
        return 0;
    }

    if (!PlenwickCore::start(argv[0]))
        return 1;
    std::vector<std::filesystem::path> inputs(line->inputs.begin(), line->inputs.end());
    ExportResult result =
        ExportRun::run(inputs, ExportSpec::defaults(), XdgUserDirs::pictures() / "Socials", 0);
    std::cout << result.notificationText << std::endl;
    return result.failures.empty() && result.skipped == 0 ? 0 : 1;
}
