#pragma once

#include "LocalHttpServer.hpp"
#include "ScopedEnvironment.hpp"

#include <cstdlib>
#include <filesystem>
#include <string>

#include <QApplication>
#include <QMessageBox>
#include <QWidget>

namespace plenwick::test {

// The one application object of a widget test, on the offscreen platform unless the caller
// chose another. It is never destroyed: widgets of a failed test may outlive any scope.
inline QApplication& application() {
    static QApplication* app = [] {
        if (!std::getenv("QT_QPA_PLATFORM"))
            setenv("QT_QPA_PLATFORM", "offscreen", 1);
        static int argc = 1;
        static char name[] = "plenwick-tests";
        static char* argv[] = {name, nullptr};
        return new QApplication(argc, argv);
    }();
    return *app;
}

// A desktop account of the test's own in `folder`: its home and settings, and a session bus
// that does not exist unless the test starts one.
inline void ownAccount(ScopedEnvironment& environment, const std::filesystem::path& folder) {
    environment.set("HOME", (folder / "home").string());
    environment.set("XDG_CONFIG_HOME", (folder / "config").string());
    environment.set("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (folder / "no-bus").string());
    // A temporary folder of its own, so the leftover clean-up at launch meets only the test's.
    environment.set("TMPDIR", (folder / "tmp").string());
    std::filesystem::create_directories(folder / "home");
    std::filesystem::create_directories(folder / "tmp");
}

// Shares the test starts run in the terminal and find no update feed.
inline void sharesWithoutDisplay(ScopedEnvironment& environment) {
    environment.set("PLENWICK_FEED_URL",
                    "http://127.0.0.1:" + std::to_string(LocalHttpServer::closedPort()) +
                        "/appcast.xml");
    environment.unset("DISPLAY");
    environment.unset("WAYLAND_DISPLAY");
}

// The dialog in which a user-started update check answered, once it shows.
inline QMessageBox* updateAnswer() {
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(widget);
            box && box->objectName() == "updateAnswer" && box->isVisible())
            return box;
    return nullptr;
}

// Writes what the widget shows to <build>/screenshots/<name>.png, for people to look at.
inline std::filesystem::path saveScreenshot(QWidget& widget, const std::string& name) {
    std::filesystem::path folder = std::filesystem::path(PLENWICK_BINARY_DIR) / "screenshots";
    std::filesystem::create_directories(folder);
    std::filesystem::path file = folder / (name + ".png");
    widget.grab().save(QString::fromStdString(file.string()), "PNG");
    return file;
}

} // namespace plenwick::test
