#pragma once

#include "TestSupport.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace plenwick::test {

// A dbus-daemon of the test's own, named by DBUS_SESSION_BUS_ADDRESS while it lives. Its
// configuration has no service folder of the machine, so no daemon of the machine is started;
// the notification server is python3-dbusmock's notification_daemon template, started directly
// or, with `activatable`, by the bus itself from a service file in the test's folder. Everything
// is stopped and the environment put back on destruction. Failures to start throw.
class PrivateSessionBus {
public:
    struct Options {
        // The bus can start a notification server on demand.
        bool activatable = false;
        // What that server's GetCapabilities lists.
        std::vector<std::string> capabilities = {"body", "body-markup"};
    };

    // One Notify call as the server received it.
    struct NotifyCall {
        std::string appName;
        uint32_t replacesID = 0;
        std::string appIcon;
        std::string summary;
        std::string body;
        std::vector<std::string> actions;
        std::vector<std::string> hintNames;
        int32_t expireTimeout = 0;
    };

    PrivateSessionBus() : PrivateSessionBus(Options{}) {}
    explicit PrivateSessionBus(Options options);
    ~PrivateSessionBus();
    PrivateSessionBus(const PrivateSessionBus&) = delete;
    PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

    const std::string& address() const { return m_address; }

    // Starts a notification server with the options' capabilities and waits until it owns
    // org.freedesktop.Notifications.
    void startNotificationServer();
    void stopNotificationServer();
    // The server's record of Notify calls, oldest first: the started or the activated one.
    std::vector<NotifyCall> notifyCalls() const;
    // Whether something owns org.freedesktop.Notifications right now.
    bool notificationServerRunning() const;

private:
    Options m_options;
    TemporaryFolder m_folder;
    std::string m_address;
    std::optional<std::string> m_savedAddress;
    pid_t m_daemon = -1;
    pid_t m_server = -1;
};

} // namespace plenwick::test
