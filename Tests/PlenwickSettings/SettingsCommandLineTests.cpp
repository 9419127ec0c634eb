#include "ChildProcess.hpp"
#include "TestSupport.hpp"

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

using namespace plenwick;

namespace {

// The real program as a script or a terminal starts it: its options are answered, and without a
// display it says so, each without the toolkit.
TEST(SettingsCommandLine, AnswersWithoutADisplayAndRefusesWhatItDoesNotTake) {
    test::TemporaryFolder folder;
    const std::map<std::string, std::optional<std::string>> noDisplay = {
        {"HOME", folder.path().string()},
        {"XDG_CONFIG_HOME", (folder / "config").string()},
        {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (folder / "no-bus").string()},
        {"DISPLAY", std::nullopt},
        {"WAYLAND_DISPLAY", std::nullopt},
        {"QT_QPA_PLATFORM", std::nullopt},
    };
    const std::string usage = "Usage: plenwick [--help] [--version]\n";
    const std::string noDisplayLine =
        "plenwick: no display to show the settings window on (DISPLAY and WAYLAND_DISPLAY are "
        "not set)\n";
    const std::string version = "plenwick " PLENWICK_VERSION " (" PLENWICK_BUILD_NUMBER ")\n";
    const struct Case {
        const char* what;
        std::vector<std::string> arguments;
        std::map<std::string, std::optional<std::string>> environment;
        bool outputReaderGone;
        int status;
        // What standard output starts with; nothing at all when empty.
        std::string standardOutput;
        std::string standardError;
        // Whether standard error is that alone; else it ends with it, after what the toolkit said.
        bool onlyThatError;
    } cases[] = {
        {"help", {"--help"}, {}, false, 0, usage, "", true},
        {"help, short", {"-h"}, {}, false, 0, usage, "", true},
        {"help into a pipe nobody reads", {"--help"}, {}, true, 0, "", "", true},
        {"version", {"--version"}, {}, false, 0, version, "", true},
        {"version with a display nobody serves",
         {"--version"},
         {{"DISPLAY", ":4242"}},
         false,
         0,
         version,
         "",
         true},
        {"an unknown option",
         {"--bogus"},
         {},
         false,
         2,
         "",
         "plenwick: unknown option --bogus\n" + usage,
         true},
        {"an option of the toolkit's",
         {"-platform", "nonexistent"},
         {},
         false,
         2,
         "",
         "plenwick: unknown option -platform\n" + usage,
         true},
        {"a file",
         {"photo.jpg"},
         {},
         false,
         2,
         "",
         "plenwick: unexpected argument photo.jpg\n" + usage,
         true},
        {"no display", {}, {}, false, 1, "", noDisplayLine, true},
        {"empty display variables",
         {},
         {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}},
         false,
         1,
         "",
         noDisplayLine,
         true},
        {"a platform that needs a display",
         {},
         {{"QT_QPA_PLATFORM", "xcb"}},
         false,
         1,
         "",
         noDisplayLine,
         true},
        {"a display nobody serves",
         {},
         {{"DISPLAY", ":4242"}},
         false,
         1,
         "",
         "plenwick: cannot connect to the display :4242\n",
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::ChildProcess::Options options;
        options.arguments = c.arguments;
        options.arguments.insert(options.arguments.begin(), PLENWICK_SETTINGS_PROGRAM);
        options.environment = noDisplay;
        for (const auto& [name, value] : c.environment)
            options.environment[name] = value;
        options.outputReaderGone = c.outputReaderGone;

        auto exit = test::ChildProcess(options).wait();

        EXPECT_EQ(exit.status, c.status) << exit.standardError;
        if (c.standardOutput.empty())
            EXPECT_EQ(exit.standardOutput, "");
        else
            EXPECT_TRUE(exit.standardOutput.starts_with(c.standardOutput)) << exit.standardOutput;
        if (c.onlyThatError)
            EXPECT_EQ(exit.standardError, c.standardError);
        else
            EXPECT_TRUE(exit.standardError.ends_with(c.standardError)) << exit.standardError;
    }
}

} // namespace
