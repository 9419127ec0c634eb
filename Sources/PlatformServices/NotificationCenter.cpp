#include "PlatformServices/NotificationCenter.hpp"

#include "PlatformServices/SessionBus.hpp"
#include "PlatformServices/UTF8.hpp"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace plenwick {

namespace {

// For connecting and for each call.
constexpr std::chrono::microseconds callTimeout = std::chrono::seconds(2);

constexpr const char* serverName = "org.freedesktop.Notifications";
constexpr const char* serverPath = "/org/freedesktop/Notifications";

using Message = SessionBus::Message;
using BusError = SessionBus::Error;

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
    auto bus = SessionBus::connect(callTimeout);
    if (!bus)
        return denied;
    return serverReachable(bus.value().get()) ? authorized : denied;
}

int64_t NotificationCenter::requestAuthorization() const {
    return authorizationStatus();
}

Expected<void, SystemError> NotificationCenter::add(const NotificationRequest& request) const {
    SessionBus::Connection connection = PLENWICK_TRY(SessionBus::connect(callTimeout));
    sd_bus* bus = connection.get();

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
    return {};
}

} // namespace plenwick
