#include "TerminalShareView.hpp"

#include <unistd.h>

namespace plenwick {

void TerminalShareView::show(const std::string& label) {
    std::string line = label + "\n";
    [[maybe_unused]] auto written = ::write(STDERR_FILENO, line.data(), line.size());
}

void TerminalShareView::showProgress(const std::string& label) {
    show(label);
}

} // namespace plenwick
