#include "PlatformServices/Log.hpp"

#include "PlatformServices/LogCapture.hpp"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <locale.h>
#include <unistd.h>

#include <systemd/sd-journal.h>

namespace plenwick {

namespace {

std::atomic<Log::Capture*> g_capture{nullptr};

// The "C" locale, for numbers written the same whatever LC_NUMERIC says: a program with a
// toolkit that sets the user's locale would otherwise write "0,42s" where the record has "0.42s".
locale_t numbersLocale() {
    static const locale_t locale = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    return locale;
}

// Sets the C locale for the calling thread while it lives.
class ClassicLocale {
public:
    ClassicLocale() : m_previous(numbersLocale() ? ::uselocale(numbersLocale()) : nullptr) {}
    ~ClassicLocale() {
        if (m_previous)
            ::uselocale(m_previous);
    }
    ClassicLocale(const ClassicLocale&) = delete;
    ClassicLocale& operator=(const ClassicLocale&) = delete;

private:
    locale_t m_previous;
};

std::string vformat(const char* format, va_list args) {
    ClassicLocale classic;
    va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length <= 0)
        return {};
    std::string text(static_cast<size_t>(length), '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, args);
    return text;
}

bool stderrWanted() {
    const char* value = std::getenv("PLENWICK_LOG");
    return value && std::strcmp(value, "stderr") == 0;
}

} // namespace

std::string Log::format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = vformat(format, args);
    va_end(args);
    return text;
}

void Log::info(const char* format, ...) const {
    va_list args;
    va_start(args, format);
    std::string text = vformat(format, args);
    va_end(args);
    write(LogLevel::info, text);
}

void Log::error(const char* format, ...) const {
    va_list args;
    va_start(args, format);
    std::string text = vformat(format, args);
    va_end(args);
    write(LogLevel::error, text);
}

void Log::write(LogLevel level, std::string_view message) const {
    std::string text(message);
    const std::string category(m_category);
    // Without a journal socket (containers, CI) the call fails and we carry on regardless.
    sd_journal_send("MESSAGE=%s", text.c_str(), "PRIORITY=%d", level == LogLevel::error ? 3 : 6,
                    "SYSLOG_IDENTIFIER=plenwick", "PLENWICK_SUBSYSTEM=%s",
                    std::string(subsystem).c_str(), "PLENWICK_CATEGORY=%s", category.c_str(),
                    nullptr);
    if (stderrWanted()) {
        // One write per line keeps concurrent workers from interleaving inside a line.
        std::string line = "plenwick[" + category + "] " + text + "\n";
        [[maybe_unused]] auto written = ::write(STDERR_FILENO, line.data(), line.size());
    }
    if (Capture* capture = g_capture.load())
        capture->add(LogRecord{std::string(subsystem), category, level, std::move(text)});
}

Log::Capture::Capture() {
    g_capture.store(this);
}

Log::Capture::~Capture() {
    g_capture.store(nullptr);
}

void Log::Capture::add(const LogRecord& record) {
    std::lock_guard lock(m_mutex);
    m_records.push_back(record);
}

std::vector<LogRecord> Log::Capture::records() const {
    std::lock_guard lock(m_mutex);
    return m_records;
}

std::vector<std::string> Log::Capture::messages(std::string_view category) const {
    std::vector<std::string> result;
    for (const LogRecord& record : records())
        if (record.category == category)
            result.push_back(record.message);
    return result;
}

} // namespace plenwick
