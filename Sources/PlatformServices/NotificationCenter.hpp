#pragma once

#include "PlatformServices/Expected.hpp"
#include "PlatformServices/NotificationRequest.hpp"
#include "PlatformServices/SystemError.hpp"

#include <cstdint>

namespace plenwick {

// The desktop's notification service: org.freedesktop.Notifications on the session bus
// (DBUS_SESSION_BUS_ADDRESS, else $XDG_RUNTIME_DIR/bus). Every operation opens a connection of
// its own and answers by returning: it blocks, for at most about two seconds per bus call, so a
// dead bus never hangs the caller. Call it off a GUI thread; it may be called from any thread.
class NotificationCenter {
public:
    // The answers of the two status calls, numbered as the settings store them.
    static constexpr int64_t denied = 1;
    static constexpr int64_t authorized = 2;

    static NotificationCenter& current();

    // `authorized` when a notification server owns the name or the bus can start one, `denied`
    // when none can be reached (no session bus included). Never fails.
    int64_t authorizationStatus() const;
    // A desktop notification server asks for no permission, so a request only probes again.
    int64_t requestAuthorization() const;
    // Shows the notification at once; an error when it could not be posted.
    // The body's &, < and > are escaped for a server that reads markup in bodies.
    Expected<void, SystemError> add(const NotificationRequest& request) const;

private:
    NotificationCenter() = default;
};

} // namespace plenwick
