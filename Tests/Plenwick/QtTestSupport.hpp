#pragma once

#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include <QApplication>
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

// Sets environment variables for the life of the object and puts the old values back after.
class ScopedEnvironment {
public:
    ScopedEnvironment() = default;
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;
    ~ScopedEnvironment() {
        for (const auto& [name, value] : m_saved) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
    }

    void set(const std::string& name, const std::string& value) {
        remember(name);
        setenv(name.c_str(), value.c_str(), 1);
    }
    void unset(const std::string& name) {
        remember(name);
        unsetenv(name.c_str());
    }

private:
    void remember(const std::string& name) {
        if (m_saved.count(name))
            return;
        const char* value = std::getenv(name.c_str());
        m_saved[name] = value ? std::optional<std::string>(value) : std::nullopt;
    }

    std::map<std::string, std::optional<std::string>> m_saved;
};

// Writes what the widget shows to <build>/screenshots/<name>.png, for people to look at.
inline std::filesystem::path saveScreenshot(QWidget& widget, const std::string& name) {
    std::filesystem::path folder = std::filesystem::path(PLENWICK_BINARY_DIR) / "screenshots";
    std::filesystem::create_directories(folder);
    std::filesystem::path file = folder / (name + ".png");
    widget.grab().save(QString::fromStdString(file.string()), "PNG");
    return file;
}

} // namespace plenwick::test
