#pragma once

#include "PlatformServices/Expected.hpp"
#include "PlatformServices/SystemError.hpp"

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include <systemd/sd-bus.h>

namespace plenwick {

// The desktop session's D-Bus through sd-bus: owners for its handles and a connection that
// gives up after a time-out, so a dead bus never hangs the caller. Include only from .cpp files.
namespace SessionBus {

struct Close {
    // No flush: every call is awaited, so nothing we care about is left unsent.
    void operator()(sd_bus* bus) const { sd_bus_close_unref(bus); }
};
using Connection = std::unique_ptr<sd_bus, Close>;

struct MessageUnref {
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

class Error {
public:
    Error() = default;
    ~Error() { sd_bus_error_free(&m_error); }
    Error(const Error&) = delete;
    Error& operator=(const Error&) = delete;

    sd_bus_error* get() { return &m_error; }
    // The bus's own words, else the system's for the call's result.
    SystemError description(int result) const;

private:
    sd_bus_error m_error = SD_BUS_ERROR_NULL;
};

// DBUS_SESSION_BUS_ADDRESS, else $XDG_RUNTIME_DIR/bus; nothing without either.
std::optional<std::string> address();

// Connects to `address` and waits for the bus's greeting; every later call on the
// connection times out after `timeout` too.
Expected<Connection, SystemError> connect(const std::string& address,
                                          std::chrono::microseconds timeout);
Expected<Connection, SystemError> connect(std::chrono::microseconds timeout);

} // namespace SessionBus

} // namespace plenwick
