#include "ApplicationInstance.hpp"
#include "SettingsCommandLine.hpp"
#include "SettingsWindow.hpp"
#include "Updater.hpp"

#include <csignal>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include <QApplication>
#include <QIcon>

using namespace plenwick;

namespace {

bool isSet(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

// Whether the toolkit has something to draw on: a display the environment names, or a platform
// chosen that needs none (offscreen, vnc, …), as tests and remote desktops choose.
bool hasDisplay() {
    if (isSet("DISPLAY") || isSet("WAYLAND_DISPLAY"))
        return true;
    const char* chosen = std::getenv("QT_QPA_PLATFORM");
    std::string_view platforms = chosen ? chosen : "";
    // A list of fallbacks, each a name with options after a colon: "wayland;xcb:option".
    while (!platforms.empty()) {
        size_t end = platforms.find(';');
        std::string_view entry = platforms.substr(0, end);
        std::string_view name = entry.substr(0, entry.find(':'));
        if (!name.empty() && name != "xcb" && !name.starts_with("wayland"))
            return true;
        platforms = end == std::string_view::npos ? std::string_view() : platforms.substr(end + 1);
    }
    return false;
}

std::string displayNames() {
    std::string names;
    for (const char* variable : {"WAYLAND_DISPLAY", "DISPLAY"})
        if (isSet(variable))
            names += (names.empty() ? "" : " or ") + std::string(std::getenv(variable));
    return names;
}

int openWindow(char* programName) {
    // Taken before any thread starts, so that the environment changes while nothing reads it.
    const SingleInstance::Activation launch = SingleInstance::Activation::takeFromEnvironment();

    // A display that does not answer ends in a line of ours, not in the toolkit's abort: the
    // platforms for the display come with one that draws nowhere, which is then reported.
    const bool platformChosen = isSet("QT_QPA_PLATFORM");
    if (!platformChosen)
        ::setenv("QT_QPA_PLATFORM",
                 isSet("WAYLAND_DISPLAY") ? "wayland;xcb;offscreen" : "xcb;offscreen", 1);
    // The toolkit sees the program's name alone; every argument was ours. Qt keeps both for its
    // whole life, so they outlive it here.
    int toolkitArgc = 1;
    char* toolkitArgv[] = {programName, nullptr};
    QApplication application(toolkitArgc, toolkitArgv);
    if (!platformChosen && QGuiApplication::platformName() == u"offscreen") {
        std::cerr << "plenwick: cannot connect to the display " << displayNames() << "\n";
        return 1;
    }
    QApplication::setApplicationName("plenwick");
    QApplication::setDesktopFileName(ApplicationInstance::applicationID);
    QApplication::setWindowIcon(QIcon::fromTheme("plenwick"));

    // One settings window per session, so that two never save over each other's edits.
    ApplicationInstance instance;
    const auto claimed = instance.claim(launch);
    if (claimed && claimed.value() == SingleInstance::Outcome::handedOver)
        return 0;
    if (!claimed && claimed.error().kind == SingleInstance::Failure::Kind::unanswered) {
        std::cerr << "plenwick: the settings window that is open does not answer: "
                  << claimed.error().message << "\n";
        return 1;
    }
    // Without a bus the window opens all the same.

    // The window swallows its own failures; this only keeps anything that still escapes from
    // aborting the program.
    try {
        SettingsWindow app;
        QObject::connect(&instance, &ApplicationInstance::activated, &application,
                         [&app](const std::string& token) { app.raise(token); });
        app.show(launch.activationToken);
        return QApplication::exec();
    } catch (const std::exception& error) {
        std::cerr << "plenwick: " << error.what() << "\n";
    } catch (...) {
        std::cerr << "plenwick: an unexpected error\n";
    }
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    // A reader of our output that goes away costs that text, never the window.
    std::signal(SIGPIPE, SIG_IGN);

    auto parsed = SettingsCommandLine::parse(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed) {
        std::cerr << "plenwick: " << parsed.error() << "\n" << SettingsCommandLine::usage;
        return 2;
    }
    switch (parsed.value().action) {
    case SettingsCommandLine::Action::help:
        std::cout << SettingsCommandLine::help();
        return 0;
    case SettingsCommandLine::Action::version:
        std::cout << "plenwick " << Updater::versionString().toStdString() << "\n";
        return 0;
    case SettingsCommandLine::Action::openWindow:
        break;
    }
    if (!hasDisplay()) {
        std::cerr << "plenwick: no display to show the settings window on (DISPLAY and "
                     "WAYLAND_DISPLAY are not set)\n";
        return 1;
    }
    return openWindow(argv[0]);
}
