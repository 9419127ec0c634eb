#include "PlatformServices/SessionBus.hpp"
#include "ScopedEnvironment.hpp"

#include <gtest/gtest.h>

using namespace plenwick;

namespace {

TEST(SessionBus, TheAddressIsTheEnvironmentsElseTheRuntimeFoldersEscaped) {
    struct Case {
        std::optional<std::string> address;
        std::optional<std::string> runtime;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"unix:path=/run/bus,guid=1", "/run/user/1000", "unix:path=/run/bus,guid=1"},
        {std::nullopt, "/run/user/1000", "unix:path=/run/user/1000/bus"},
        {"", "/run/user/1000", "unix:path=/run/user/1000/bus"},
        // A comma or semicolon would end the path; a tilde or colon is no address character.
        {std::nullopt, "/tmp/a b,c;d=é~:", "unix:path=/tmp/a%20b%2Cc%3Bd%3D%C3%A9%7E%3A/bus"},
        {std::nullopt, std::nullopt, std::nullopt},
        {std::nullopt, "", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.runtime.value_or("(no runtime folder)"));
        test::ScopedEnvironment environment;
        for (const auto& [name, value] : {std::pair{"DBUS_SESSION_BUS_ADDRESS", c.address},
                                          std::pair{"XDG_RUNTIME_DIR", c.runtime}}) {
            if (value)
                environment.set(name, *value);
            else
                environment.unset(name);
        }
        EXPECT_EQ(SessionBus::address(), c.expected);
    }
}

} // namespace
