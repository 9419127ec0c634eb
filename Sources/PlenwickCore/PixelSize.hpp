#pragma once

#include <cstdint>

namespace plenwick {

struct PixelSize {
    int64_t width = 0;
    int64_t height = 0;

    bool operator==(const PixelSize&) const = default;
};

} // namespace plenwick
