#include "PlenwickCore/TargetSize.hpp"

#include <cmath>
#include <limits>

namespace plenwick {

namespace {

// Rounds half away from zero and keeps the edge within [1, INT64_MAX]. A negative pixel count
// under `width` on an extremely tall image can scale an edge past the 64-bit range; such a value
// is no size at all, so it is held at the largest edge rather than left to overflow.
int64_t scaledEdge(double scale, int64_t edge) {
    double value = std::round(scale * static_cast<double>(edge));
    if (!(value >= 1.0))
        return 1;
    // 2^63 is exactly representable; anything at or above it does not fit.
    if (value >= 9223372036854775808.0)
        return std::numeric_limits<int64_t>::max();
    return static_cast<int64_t>(value);
}

} // namespace

PixelSize TargetSize::compute(PixelSize input, SizeRule rule) {
    int64_t reference = input.width;
    if (rule.kind == SizeRule::Kind::longEdge && input.height > input.width)
        reference = input.height;

    double scale = static_cast<double>(rule.pixels) / static_cast<double>(reference);
    if (!(scale < 1.0))
        return input;

    return {scaledEdge(scale, input.width), scaledEdge(scale, input.height)};
}

} // namespace plenwick
