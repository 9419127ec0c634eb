// user-dirs.dirs is a file of the user's: whatever it holds, the Pictures folder is an
// absolute path.
#include "PlatformServices/XdgUserDirs.hpp"
#include "ScratchFolder.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace XdgUserDirs = plenwick::XdgUserDirs;
using plenwick::fuzz::ScratchFolder;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ::setenv("HOME", (ScratchFolder::ofProcess().path() / "home").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", ScratchFolder::ofProcess().path().c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ScratchFolder::ofProcess().write("user-dirs.dirs", data, size);
    if (!XdgUserDirs::pictures().is_absolute())
        __builtin_trap();
    return 0;
}
