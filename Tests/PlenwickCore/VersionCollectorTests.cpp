#include "PlenwickCore/VersionCollector.hpp"

#include <optional>
#include <utility>

#include <gtest/gtest.h>

using namespace plenwick;

TEST(VersionCollector, ABuildNumberIsAWholeDecimalNumberWithAnOptionalSign) {
    const std::pair<const char*, std::optional<int64_t>> builds[] = {
        {"12", 12},
        {"+7", 7},
        {"-3", -3},
        {"1.2", std::nullopt},
        {"", std::nullopt},
        {"+", std::nullopt},
        {"12a", std::nullopt},
        {" 12", std::nullopt},
        {"99999999999999999999", std::nullopt},
    };
    for (auto [text, build] : builds)
        EXPECT_EQ(VersionCollector::buildNumber(text), build) << text;
}
