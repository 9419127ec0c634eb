#pragma once

#include "ShareCommandLine.hpp"

namespace plenwick {

// The share program's side of a share: it makes one item provider per argument, shows the
// window (or, without a display, the terminal view), runs the share session and turns a close of
// the window, SIGINT or SIGTERM into the dismissal.
namespace ShareHost {

// Call first in main, before any thread starts: the dismissal signals are then delivered
// to the host alone.
void holdDismissalSignals();

// Runs the share and returns the program's exit status. `programName` is all the window's
// toolkit is given of the command line.
int run(const ShareCommandLine& line, char* programName);

} // namespace ShareHost

} // namespace plenwick
