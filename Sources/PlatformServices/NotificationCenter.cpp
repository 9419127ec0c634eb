#include "PlatformServices/NotificationCenter.hpp"

#include "PlatformServices/UTF8.hpp"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <systemd/sd-bus.h>

namespace plenwick {

namespace {

constexpr uint64_t callTimeout = 2'000'000; // microseconds, for connecting and for each call

constexpr const char* serverName = "org.freedesktop.Notifications";
constexpr const char* serverPath = "/org/freedesktop/Notifications";

struct BusClose {
    // No flush: every call is awaited, so nothing we care about is left unsent.
    void operator()(sd_bus* bus) const { sd_bus_close_unref(bus); }
};
using Bus = std::unique_ptr<sd_bus, BusClose>;

struct MessageUnref {
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

class BusError {
public:
    BusError() = default;
    ~BusError() { sd_bus_error_free(&m_error); }
    BusError(const BusError&) = delete;
    BusError& operator=(const BusError&) = delete;

    sd_bus_error* get() { return &m_error; }
    std::string description(int result) const {
        if (m_error.message && *m_error.message)
            return m_error.message;
        return std::strerror(-result);
    }

private:
    sd_bus_error m_error = SD_BUS_ERROR_NULL;
};

// D-Bus addresses escape every byte outside a small safe set as %XX.
std::string addressEscaped(std::string_view value) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string escaped;
    for (unsigned char c : value) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '_' || c == '/' || c == '.' || c == '\\' || c == '*') {
            escaped += static_cast<char>(c);
        } else {
            escaped += '%';
            escaped += digits[c >> 4];
            escaped += digits[c & 0xF];
        }
    }
    return escaped;
}

std::optional<std::string> sessionBusAddress() {
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address)
        return address;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        return "unix:path=" + addressEscaped(runtime) + "/bus";
    return std::nullopt;
}

struct Connection {
    Bus bus;
    std::string failure;
};

// Connects and waits for the bus's greeting, within the call time-out.
Connection connect() {
    auto address = sessionBusAddress();
    if (!address)
        return {nullptr, "no session bus"};
    sd_bus* raw = nullptr;
    int result = sd_bus_new(&raw);
    if (result < 0)
        return {nullptr,
                std::string("cannot connect to the session bus: ") + std::strerror(-result)};
    Bus bus(raw);
    auto failed = [&](int code) {
        return Connection{nullptr, std::string("cannot connect to the session bus: ") +
                                       std::strerror(-code)};
    };
    if ((result = sd_bus_set_address(bus.get(), address->c_str())) < 0 ||
        (result = sd_bus_set_bus_client(bus.get(), 1)) < 0 ||
        (result = sd_bus_set_method_call_timeout(bus.get(), callTimeout)) < 0 ||
        (result = sd_bus_start(bus.get())) < 0)
        return failed(result);

    auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(callTimeout);
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
    return {std::move(bus), {}};
}

std::vector<std::string> readStrings(sd_bus_message* message) {
    std::vector<std::string> strings;
    if (sd_bus_message_enter_container(message, 'a', "s") < 0)
        return strings;
    const char* text = nullptr;
    while (sd_bus_message_read(message, "s", &text) > 0)
        strings.emplace_back(text);
    sd_bus_message_exit_container(message);
    return strings;
}

bool serverReachable(sd_bus* bus) {
    BusError error;
    sd_bus_message* raw = nullptr;
    int owned = 0;
    if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "NameHasOwner", error.get(), &raw, "s",
                           serverName) >= 0) {
        Message reply(raw);
        if (sd_bus_message_read(reply.get(), "b", &owned) < 0)
            owned = 0;
    }
    if (owned)
        return true;

    BusError listError;
    raw = nullptr;
    if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "ListActivatableNames", listError.get(), &raw,
                           "") < 0)
        return false;
    Message reply(raw);
    for (const std::string& name : readStrings(reply.get()))
        if (name == serverName)
            return true;
    return false;
}

bool readsBodyMarkup(sd_bus* bus) {
    BusError error;
    sd_bus_message* raw = nullptr;
    if (sd_bus_call_method(bus, serverName, serverPath, serverName, "GetCapabilities", error.get(),
                           &raw, "") < 0)
        return false;
    Message reply(raw);
    for (const std::string& capability : readStrings(reply.get()))
        if (capability == "body-markup")
            return true;
    return false;
}

std::string markupEscaped(std::string_view text) {
    std::string escaped;
    for (char c : text) {
        if (c == '&')
            escaped += "&amp;";
        else if (c == '<')
            escaped += "&lt;";
        else if (c == '>')
            escaped += "&gt;";
        else
            escaped += c;
    }
    return escaped;
}

} // namespace

NotificationCenter& NotificationCenter::current() {
    static NotificationCenter center;
    return center;
}

int64_t NotificationCenter::authorizationStatus() const {
    Connection connection = connect();
    if (!connection.bus)
        return denied;
    return serverReachable(connection.bus.get()) ? authorized : denied;
}

int64_t NotificationCenter::requestAuthorization() const {
    return authorizationStatus();
}

std::optional<std::string> NotificationCenter::add(const NotificationRequest& request) const {
    Connection connection = connect();
    if (!connection.bus)
        return connection.failure;
    sd_bus* bus = connection.bus.get();

    // D-Bus strings must be UTF-8; a file name that is not would otherwise lose the whole post.
    std::string summary = UTF8::repaired(request.title);
    std::string body = UTF8::repaired(request.body);
    if (readsBodyMarkup(bus))
        body = markupEscaped(body);

    BusError error;
    sd_bus_message* raw = nullptr;
    // No replaces_id: the server's own id for this notification is never passed back, so no
    // notification takes the place of another.
    int result = sd_bus_call_method(bus, serverName, serverPath, serverName, "Notify", error.get(),
                                    &raw, "susssasa{sv}i", "Plenwick", uint32_t{0}, "",
                                    summary.c_str(), body.c_str(), 0, 0, int32_t{-1});
    if (result < 0)
        return error.description(result);
    Message reply(raw);
    return std::nullopt;
}

} // namespace plenwick
