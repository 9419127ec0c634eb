#include "PlatformServices/Expected.hpp"

#include <exception>
#include <functional>
#include <string>
#include <variant>

#include <gtest/gtest.h>

using namespace plenwick;

namespace {

// Asking an Expected for the side it does not hold is a fault in the caller. A build with
// assertions stops there and names the call; an optimised one throws, never reads what is not
// there.
TEST(Expected, AskingForTheSideItDoesNotHoldIsStoppedOrThrows) {
    struct Case {
        const char* name;
        std::function<void()> ask;
        const char* message;
    };
    const Case cases[] = {
        {"value of an error",
         [] {
             Expected<int, std::string> failed(std::string("no"));
             static_cast<void>(failed.value());
         },
         "Expected::value\\(\\) called on an error"},
        {"value of a constant error",
         [] {
             const Expected<int, std::string> failed(std::string("no"));
             static_cast<void>(failed.value());
         },
         "Expected::value\\(\\) called on an error"},
        {"error of a value",
         [] {
             Expected<int, std::string> held(1);
             static_cast<void>(held.error());
         },
         "Expected::error\\(\\) called on a value"},
        {"nothing of a failure",
         [] {
             Expected<void, std::string> failed(std::string("no"));
             failed.value();
         },
         "Expected::value\\(\\) called on an error"},
        {"error of a success",
         [] {
             Expected<void, std::string> done;
             static_cast<void>(done.error());
         },
         "Expected::error\\(\\) called on a value"},
        {"error of a constant success",
         [] {
             const Expected<void, std::string> done;
             static_cast<void>(done.error());
         },
         "Expected::error\\(\\) called on a value"},
    };
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
#ifdef NDEBUG
        EXPECT_THROW(c.ask(), std::exception);
#else
        EXPECT_DEATH(c.ask(), c.message);
#endif
    }
}

Expected<int, std::string> half(int number) {
    if (number % 2 != 0)
        return std::string("odd");
    return number / 2;
}

Expected<void, std::string> requireEven(int number) {
    if (number % 2 != 0)
        return std::string("odd");
    return {};
}

// What follows each tried step runs only when that step succeeded.
Expected<int, std::string> quarter(int number) {
    PLENWICK_TRY(requireEven(number));
    return half(PLENWICK_TRY(half(number)));
}

// PLENWICK_TRY hands a value on, or returns the first error up, whether the tried Expected holds
// a value or nothing.
TEST(Expected, TryHandsTheValueOnOrReturnsTheFirstError) {
    struct Case {
        int number;
        std::variant<int, std::string> result;
    };
    const Case cases[] = {
        {8, 2},
        {3, std::string("odd")},
        {6, std::string("odd")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.number);
        Expected<int, std::string> result = quarter(c.number);
        if (std::holds_alternative<int>(c.result)) {
            ASSERT_TRUE(result) << result.error();
            EXPECT_EQ(result.value(), std::get<int>(c.result));
        } else {
            ASSERT_FALSE(result);
            EXPECT_EQ(result.error(), std::get<std::string>(c.result));
        }
    }
}

} // namespace
