#include "PrivateSessionBus.hpp"

#include "PlatformServices/SessionBus.hpp"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <systemd/sd-bus.h>

extern char** environ;

namespace plenwick::test {

namespace {

constexpr const char* notificationsName = "org.freedesktop.Notifications";
constexpr const char* notificationsPath = "/org/freedesktop/Notifications";
// Python starts slowly on a busy machine; this bounds liveness, it does not measure speed.
constexpr auto startTimeout = std::chrono::seconds(30);

using Bus = SessionBus::Connection;
using Message = SessionBus::Message;

Bus connect(const std::string& address) {
    auto bus = SessionBus::connect(address, startTimeout);
    if (!bus)
        throw std::runtime_error("cannot connect to the private bus " + address + ": " +
                                 bus.error().message);
    return std::move(bus.value());
}

Message call(sd_bus* bus, const char* destination, const char* path, const char* interface,
             const char* member, const char* signature, const char* argument) {
    SessionBus::Error error;
    sd_bus_message* reply = nullptr;
    int result = argument ? sd_bus_call_method(bus, destination, path, interface, member,
                                               error.get(), &reply, signature, argument)
                          : sd_bus_call_method(bus, destination, path, interface, member,
                                               error.get(), &reply, "");
    if (result < 0)
        throw std::runtime_error(std::string(member) +
                                 " failed: " + error.description(result).message);
    return Message(reply);
}

pid_t spawn(const std::vector<std::string>& arguments, int addressDescriptor = -1) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (addressDescriptor >= 0)
        posix_spawn_file_actions_adddup2(&actions, addressDescriptor, 3);
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    int result = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (result != 0)
        throw std::runtime_error("cannot start " + arguments[0] + ": " + strerror(result));
    return pid;
}

void stop(pid_t& pid) {
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (::waitpid(pid, nullptr, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pid = -1;
}

std::string capabilityParameters(const std::vector<std::string>& capabilities) {
    std::string joined;
    for (const std::string& capability : capabilities)
        joined += (joined.empty() ? "" : " ") + capability;
    return "{\"capabilities\": \"" + joined + "\"}";
}

std::string readString(sd_bus_message* message) {
    const char* text = nullptr;
    sd_bus_message_read(message, "s", &text);
    return text ? text : "";
}

std::vector<std::string> readStrings(sd_bus_message* message) {
    std::vector<std::string> strings;
    sd_bus_message_enter_container(message, 'a', "s");
    const char* text = nullptr;
    while (sd_bus_message_read(message, "s", &text) > 0)
        strings.emplace_back(text);
    sd_bus_message_exit_container(message);
    return strings;
}

} // namespace

PrivateSessionBus::PrivateSessionBus(Options options) : m_options(std::move(options)) {
    m_address = "unix:path=" + (m_folder / "bus").string();
    std::string config = "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration "
                         "1.0//EN\"\n \"http://www.freedesktop.org/standards/dbus/1.0/"
                         "busconfig.dtd\">\n<busconfig>\n  <type>session</type>\n  <listen>" +
                         m_address + "</listen>\n  <auth>EXTERNAL</auth>\n";
    if (m_options.activatable) {
        std::filesystem::create_directory(m_folder / "services");
        std::ofstream(m_folder / "services" / "org.freedesktop.Notifications.service")
            << "[D-BUS Service]\nName=org.freedesktop.Notifications\n"
            << "Exec=/usr/bin/python3 -m dbusmock --session --template notification_daemon "
            << "--parameters '" << capabilityParameters(m_options.capabilities) << "'\n";
        config += "  <servicedir>" + (m_folder / "services").string() + "</servicedir>\n";
    }
    config += "  <policy context=\"default\">\n    <allow send_destination=\"*\" "
              "eavesdrop=\"true\"/>\n    <allow eavesdrop=\"true\"/>\n    <allow own=\"*\"/>\n"
              "  </policy>\n</busconfig>\n";
    std::ofstream(m_folder / "session.conf") << config;

    if (const char* saved = std::getenv("DBUS_SESSION_BUS_ADDRESS"))
        m_savedAddress = saved;
    // Set before the daemon starts, so that the servers it activates find it too.
    setenv("DBUS_SESSION_BUS_ADDRESS", m_address.c_str(), 1);

    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    try {
        m_daemon =
            spawn({"/usr/bin/dbus-daemon", "--config-file=" + (m_folder / "session.conf").string(),
                   "--nofork", "--print-address=3"},
                  pipe[1]);
    } catch (...) {
        ::close(pipe[0]);
        ::close(pipe[1]);
        throw;
    }
    ::close(pipe[1]);
    // The daemon prints its address once it listens.
    pollfd ready{pipe[0], POLLIN, 0};
    char byte = 0;
    bool printed =
        ::poll(&ready, 1, static_cast<int>(std::chrono::milliseconds(startTimeout).count())) > 0 &&
        ::read(pipe[0], &byte, 1) == 1;
    ::close(pipe[0]);
    if (!printed) {
        stop(m_daemon);
        throw std::runtime_error("dbus-daemon did not start");
    }
}

PrivateSessionBus::~PrivateSessionBus() {
    stopNotificationServer();
    // An activated server is the daemon's child; stop it by the pid the bus knows.
    try {
        if (notificationServerRunning()) {
            Bus bus = connect(m_address);
            Message reply =
                call(bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                     "org.freedesktop.DBus", "GetConnectionUnixProcessID", "s", notificationsName);
            uint32_t pid = 0;
            if (sd_bus_message_read(reply.get(), "u", &pid) > 0 && pid > 0)
                ::kill(static_cast<pid_t>(pid), SIGTERM);
        }
    } catch (const std::exception&) {
        // The daemon is stopped next all the same.
    }
    stop(m_daemon);
    if (m_savedAddress)
        setenv("DBUS_SESSION_BUS_ADDRESS", m_savedAddress->c_str(), 1);
    else
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

void PrivateSessionBus::startNotificationServer() {
    stopNotificationServer();
    m_server = spawn({"/usr/bin/python3", "-m", "dbusmock", "--session", "--template",
                      "notification_daemon", "--parameters",
                      capabilityParameters(m_options.capabilities)});
    auto deadline = std::chrono::steady_clock::now() + startTimeout;
    while (!notificationServerRunning()) {
        if (std::chrono::steady_clock::now() > deadline ||
            ::waitpid(m_server, nullptr, WNOHANG) != 0) {
            stop(m_server);
            throw std::runtime_error("the notification server did not start");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

void PrivateSessionBus::stopNotificationServer() {
    stop(m_server);
    // Wait until the bus has seen it go, so that the next probe cannot still find it.
    auto deadline = std::chrono::steady_clock::now() + startTimeout;
    while (!m_options.activatable && notificationServerRunning() &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

bool PrivateSessionBus::notificationServerRunning() const {
    Bus bus = connect(m_address);
    Message reply = call(bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                         "org.freedesktop.DBus", "NameHasOwner", "s", notificationsName);
    int owned = 0;
    sd_bus_message_read(reply.get(), "b", &owned);
    return owned != 0;
}

std::vector<PrivateSessionBus::NotifyCall> PrivateSessionBus::notifyCalls() const {
    Bus bus = connect(m_address);
    Message reply = call(bus.get(), notificationsName, notificationsPath,
                         "org.freedesktop.DBus.Mock", "GetMethodCalls", "s", "Notify");
    sd_bus_message* message = reply.get();
    std::vector<NotifyCall> calls;
    sd_bus_message_enter_container(message, 'a', "(tav)");
    while (sd_bus_message_enter_container(message, 'r', "tav") > 0) {
        uint64_t timestamp = 0;
        sd_bus_message_read(message, "t", &timestamp);
        sd_bus_message_enter_container(message, 'a', "v");
        NotifyCall notify;
        char type = 0;
        const char* contents = nullptr;
        for (int index = 0; sd_bus_message_peek_type(message, &type, &contents) > 0; ++index) {
            sd_bus_message_enter_container(message, 'v', contents);
            switch (index) {
            case 0:
                notify.appName = readString(message);
                break;
            case 2:
                notify.appIcon = readString(message);
                break;
            case 3:
                notify.summary = readString(message);
                break;
            case 4:
                notify.body = readString(message);
                break;
            case 1:
                sd_bus_message_read(message, "u", &notify.replacesID);
                break;
            case 5:
                notify.actions = readStrings(message);
                break;
            case 6:
                sd_bus_message_enter_container(message, 'a', "{sv}");
                while (sd_bus_message_enter_container(message, 'e', "sv") > 0) {
                    notify.hintNames.push_back(readString(message));
                    sd_bus_message_skip(message, "v");
                    sd_bus_message_exit_container(message);
                }
                sd_bus_message_exit_container(message);
                break;
            case 7:
                sd_bus_message_read(message, "i", &notify.expireTimeout);
                break;
            default:
                sd_bus_message_skip(message, contents);
            }
            sd_bus_message_exit_container(message);
        }
        sd_bus_message_exit_container(message);
        sd_bus_message_exit_container(message);
        calls.push_back(std::move(notify));
    }
    return calls;
}

} // namespace plenwick::test
