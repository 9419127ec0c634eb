#pragma once

#include "PlenwickCore/PixelSize.hpp"
#include "PlenwickCore/SizeRule.hpp"

namespace plenwick {

// The pixel size of an output: never larger than the input, never below 1 × 1.
namespace TargetSize {

PixelSize compute(PixelSize input, SizeRule rule);

} // namespace TargetSize

} // namespace plenwick
