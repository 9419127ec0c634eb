#include "PlatformServices/SessionBus.hpp"

#include "PlatformServices/PercentEncoding.hpp"

#include <cerrno>
#include <cstdlib>
#include <string_view>

namespace plenwick {

SystemError SessionBus::Error::description(int result) const {
    if (m_error.message && *m_error.message)
        return {m_error.message, -result};
    return SystemError::fromErrno({}, -result);
}

std::optional<std::string> SessionBus::address() {
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address)
        return address;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        return "unix:path=" + PercentEncoding::encoded(runtime, PercentEncoding::dbusAddressValue) +
               "/bus";
    return std::nullopt;
}

Expected<SessionBus::Connection, SystemError>
SessionBus::connect(std::chrono::microseconds timeout) {
    auto known = address();
    if (!known)
        return SystemError{"no session bus"};
    return connect(*known, timeout);
}

Expected<SessionBus::Connection, SystemError>
SessionBus::connect(const std::string& address, std::chrono::microseconds timeout) {
    auto failed = [](int code) {
        return SystemError::fromErrno("cannot connect to the session bus", -code);
    };
    sd_bus* raw = nullptr;
    int result = sd_bus_new(&raw);
    if (result < 0)
        return failed(result);
    Connection bus(raw);
    if ((result = sd_bus_set_address(bus.get(), address.c_str())) < 0 ||
        (result = sd_bus_set_bus_client(bus.get(), 1)) < 0 ||
        (result = sd_bus_set_method_call_timeout(bus.get(),
                                                 static_cast<uint64_t>(timeout.count()))) < 0 ||
        (result = sd_bus_start(bus.get())) < 0)
        return failed(result);

    auto deadline = std::chrono::steady_clock::now() + timeout;
    while ((result = sd_bus_is_ready(bus.get())) == 0) {
        result = sd_bus_process(bus.get(), nullptr);
        if (result < 0)
            return failed(result);
        if (result > 0)
            continue;
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return failed(-ETIMEDOUT);
        result = sd_bus_wait(bus.get(), static_cast<uint64_t>(left.count()));
        if (result < 0 && result != -EINTR)
            return failed(result);
    }
    if (result < 0)
        return failed(result);
    return bus;
}

} // namespace plenwick
