#pragma once

#include "PlenwickCore/PixelSize.hpp"
#include "PlenwickCore/SizeRule.hpp"

namespace plenwick {

// The pixel size of an output: never larger than the input, never below 1 × 1.
struct TargetSize {
    TargetSize() = delete;

    static PixelSize compute(PixelSize input, SizeRule rule);
};

} // namespace plenwick
