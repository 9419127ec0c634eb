#pragma once

#include "PlatformServices/Expected.hpp"
#include "PlatformServices/SystemError.hpp"

// libvips, as every part of Plenwick that touches pixels needs it set up.
namespace plenwick::ImageLibrary {

// Readies libvips once per process; every call gives the answer of the first, an error when it
// could not start.
Expected<void, SystemError> start(const char* programName);

// Sizes libvips' worker threads for `jobs` images processed at once, so that together they keep
// every core busy without more threads than cores.
void shareCores(int jobs);

} // namespace plenwick::ImageLibrary
