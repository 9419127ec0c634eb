#pragma once

// libvips, as every part of Plenwick that touches pixels needs it set up.
namespace plenwick::ImageLibrary {

// Readies libvips once per process; false when it cannot start.
bool start(const char* programName);

// Sizes libvips' worker threads for `jobs` images processed at once, so that together they keep
// every core busy without more threads than cores.
void shareCores(int jobs);

} // namespace plenwick::ImageLibrary
