#pragma once

#include "PlatformServices/Log.hpp"

#include <mutex>
#include <vector>

namespace plenwick {

// Collects every log record written while it lives; tests read what the program said.
class Log::Capture {
public:
    Capture();
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    std::vector<LogRecord> records() const;
    std::vector<std::string> messages(std::string_view category) const;

private:
    friend class Log;
    void add(const LogRecord&);

    // Writers are the export workers and provider callbacks, so the list is guarded.
    mutable std::mutex m_mutex;
    std::vector<LogRecord> m_records;
};

} // namespace plenwick
