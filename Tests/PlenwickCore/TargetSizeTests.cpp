#include "PlenwickCore/TargetSize.hpp"

#include <cstdint>
#include <limits>

#include <gtest/gtest.h>

using namespace plenwick;

namespace {

struct SizeCase {
    PixelSize input;
    SizeRule rule;
    PixelSize expected;
};

TEST(TargetSize, ComputesTheTableOfWorkedValuesAndEdgeCases) {
    constexpr int64_t max = std::numeric_limits<int64_t>::max();
    constexpr int64_t min = std::numeric_limits<int64_t>::min();
    const SizeCase cases[] = {
        {{4032, 3024}, SizeRule::width(1080), {1080, 810}},
        {{3024, 4032}, SizeRule::width(1080), {1080, 1440}},
        {{3000, 4000}, SizeRule::longEdge(2048), {1536, 2048}},
        {{4000, 3000}, SizeRule::longEdge(2048), {2048, 1536}},
        {{2160, 1621}, SizeRule::width(1080), {1080, 811}},
        {{10000, 3}, SizeRule::width(1080), {1080, 1}},
        {{1000, 5000}, SizeRule::width(1080), {1000, 5000}},
        {{2048, 2048}, SizeRule::longEdge(2048), {2048, 2048}},
        {{3000, 3000}, SizeRule::longEdge(1000), {1000, 1000}},
        {{800, 600}, SizeRule::width(0), {1, 1}},
        {{800, 600}, SizeRule::longEdge(-5), {1, 1}},
        {{0, 600}, SizeRule::width(1080), {0, 600}},
        {{0, 0}, SizeRule::width(0), {0, 0}},
        {{max, max}, SizeRule::width(max - 1), {max, max}},
        {{max, 3}, SizeRule::width(1), {1, 1}},
        {{1, max}, SizeRule::width(min), {1, 1}},
        {{-1, max}, SizeRule::width(max), {max, 1}},
        {{-2, max}, SizeRule::width(min), {-2, max}},
        {{min, min}, SizeRule::longEdge(max), {max, max}},
    };
    for (const SizeCase& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.input.width << "x" << c.input.height << " " << c.rule.description());
        EXPECT_EQ(TargetSize::compute(c.input, c.rule), c.expected);
    }
}

} // namespace
