#include "PlatformServices/Expected.hpp"

#include <exception>
#include <functional>
#include <string>

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

} // namespace
