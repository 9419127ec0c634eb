#pragma once

#include <string>
#include <string_view>

namespace plenwick {

enum class LogLevel { info, error };

struct LogRecord {
    std::string subsystem;
    std::string category;
    LogLevel level = LogLevel::info;
    std::string message;

    bool operator==(const LogRecord&) const = default;
};

// A logger for one category of the "com.brindlemoor.plenwick" subsystem. Messages go to the
// systemd journal, to stderr when PLENWICK_LOG=stderr, and to an installed capture (tests).
// Formats are printf's, rendered in the C locale so that the text is the same in every locale
// ("%.2f" always has a point); every call may come from any thread.
class Log {
public:
    static constexpr std::string_view subsystem = "com.brindlemoor.plenwick";

    // `category` is a literal or another text that lives as long as the program, so that a
    // file's logger can be a constant made before anything runs.
    constexpr explicit Log(std::string_view category) : m_category(category) {}

    void info(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    void error(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    void write(LogLevel level, std::string_view message) const;

    // Renders a printf format into a string; the log lines are built with it.
    static std::string format(const char* format, ...) __attribute__((format(printf, 1, 2)));

    // Collects the records written while it lives (LogCapture.hpp); one at a time, for tests.
    class Capture;

private:
    std::string_view m_category;
};

} // namespace plenwick
