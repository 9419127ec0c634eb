#pragma once

#include <cstdint>
#include <string_view>

namespace plenwick {

struct PlenwickCore {
    PlenwickCore() = delete;

    // The release, as the build names it ("0.1.0").
    static std::string_view version();
    // The build, as the build names it ("7"); empty when it gave none.
    static std::string_view build();
    // The number the update feed is compared with; 0 when the build gave none that reads as one.
    static int64_t buildNumber();

    // Readies the image library once per process; false when it cannot start.
    static bool start(const char* programName);

    // Sizes the image library's worker threads for `jobs` images processed at once, so that
    // together they keep every core busy without more threads than cores.
    static void shareCores(int jobs);
};

} // namespace plenwick
