#pragma once

#include <string_view>

namespace plenwick {

struct PlenwickCore {
    PlenwickCore() = delete;

    static constexpr std::string_view version = "0.1.0";

    // Readies the image library once per process; false when it cannot start.
    static bool start(const char* programName);

    // Sizes the image library's worker threads for `jobs` images processed at once, so that
    // together they keep every core busy without more threads than cores.
    static void shareCores(int jobs);
};

} // namespace plenwick
