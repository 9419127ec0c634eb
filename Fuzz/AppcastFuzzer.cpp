// The update feed comes over the network: any document gives a build number or nothing, and
// the same document always gives the same answer.
#include "PlenwickCore/AppcastCheck.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace AppcastCheck = plenwick::AppcastCheck;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view document(reinterpret_cast<const char*>(data), size);
    auto latest = AppcastCheck::latestBuild(document);
    if (latest != AppcastCheck::latestBuild(document))
        __builtin_trap();
    AppcastCheck::nudgeText(1, latest);
    return 0;
}
