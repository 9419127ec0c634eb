#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <QDeadlineTimer>
#include <QProcess>

namespace plenwick::test {

// python3-dbusmock as org.freedesktop.FileManager1 on the bus DBUS_SESSION_BUS_ADDRESS names
// (a test's PrivateSessionBus), writing each call it gets to a log file.
class FileManagerMock {
public:
    explicit FileManagerMock(std::filesystem::path log) : m_log(std::move(log)) {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start("/usr/bin/python3",
                        {"-m", "dbusmock", "--template",
                         PLENWICK_SOURCE_DIR "/Tests/PlenwickSettings/FileManager1Mock.py", "-l",
                         QString::fromStdString(m_log.string())});
        if (!m_process.waitForStarted(10000))
            return;
        QDeadlineTimer deadline(std::chrono::seconds(20));
        while (!deadline.hasExpired()) {
            if (owned()) {
                m_running = true;
                return;
            }
            // Doubles as the pause between two looks.
            if (m_process.waitForFinished(50))
                return;
        }
    }

    ~FileManagerMock() {
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    FileManagerMock(const FileManagerMock&) = delete;
    FileManagerMock& operator=(const FileManagerMock&) = delete;

    bool running() const { return m_running; }

    // One line per call: a time stamp, the method and its arguments.
    std::string calls() const {
        std::ifstream stream(m_log);
        std::stringstream text;
        text << stream.rdbuf();
        return text.str();
    }

private:
    static bool owned() {
        QProcess query;
        query.start("dbus-send", {"--session", "--print-reply", "--dest=org.freedesktop.DBus",
                                  "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner",
                                  "string:org.freedesktop.FileManager1"});
        return query.waitForFinished(10000) &&
               query.readAllStandardOutput().contains("boolean true");
    }

    std::filesystem::path m_log;
    QProcess m_process;
    bool m_running = false;
};

} // namespace plenwick::test
