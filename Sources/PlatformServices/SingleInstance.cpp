#include "PlatformServices/SingleInstance.hpp"

#include "PlatformServices/FileDescriptor.hpp"
#include "PlatformServices/SessionBus.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <stop_token>
#include <sys/eventfd.h>
#include <thread>

namespace plenwick {

namespace {

constexpr const char* interfaceName = "org.freedesktop.Application";

struct SlotUnref {
    void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
using Slot = std::unique_ptr<sd_bus_slot, SlotUnref>;

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// Reads Activate's platform data; keys we do not use, and values of another type, are skipped.
int readPlatformData(sd_bus_message* message, SingleInstance::Activation& activation) {
    int result = sd_bus_message_enter_container(message, 'a', "{sv}");
    if (result < 0)
        return result;
    while ((result = sd_bus_message_enter_container(message, 'e', "sv")) > 0) {
        const char* key = nullptr;
        if ((result = sd_bus_message_read(message, "s", &key)) < 0)
            return result;
        const char* value = nullptr;
        if (std::string_view(key) == "activation-token" &&
            sd_bus_message_read(message, "v", "s", &value) >= 0)
            activation.activationToken = value;
        else if ((result = sd_bus_message_skip(message, "v")) < 0)
            return result;
        if ((result = sd_bus_message_exit_container(message)) < 0)
            return result;
    }
    if (result < 0)
        return result;
    return sd_bus_message_exit_container(message);
}

int appendEntry(sd_bus_message* message, const char* key, const std::string& value) {
    if (value.empty())
        return 0;
    return sd_bus_message_append(message, "{sv}", key, "s", value.c_str());
}

using Failure = SingleInstance::Failure;

Failure noBus(std::string message) {
    return {Failure::Kind::noBus, std::move(message)};
}

Failure unanswered(std::string message) {
    return {Failure::Kind::unanswered, std::move(message)};
}

// Why the owner of the name did not answer, and whether it had gone before it could: the name
// is then free to claim again.
struct Unanswered {
    Failure failure;
    bool ownerGone = false;
};

// Asks the instance that owns `name` to activate, with what this launch brought.
Expected<void, Unanswered> askOwnerToActivate(sd_bus* bus, const std::string& name,
                                              const std::string& path,
                                              const SingleInstance::Activation& launch,
                                              std::chrono::microseconds timeout) {
    sd_bus_message* created = nullptr;
    int result = sd_bus_message_new_method_call(bus, &created, name.c_str(), path.c_str(),
                                                interfaceName, "Activate");
    if (result < 0)
        return Unanswered{unanswered(strerror(-result))};
    SessionBus::Message call(created);
    if ((result = sd_bus_message_open_container(call.get(), 'a', "{sv}")) < 0 ||
        (result = appendEntry(call.get(), "activation-token", launch.activationToken)) < 0 ||
        (result = sd_bus_message_close_container(call.get())) < 0)
        return Unanswered{unanswered(strerror(-result))};
    SessionBus::Error error;
    sd_bus_message* answered = nullptr;
    result = sd_bus_call(bus, call.get(), static_cast<uint64_t>(timeout.count()), error.get(),
                         &answered);
    SessionBus::Message reply(answered);
    if (result >= 0)
        return {};
    return Unanswered{unanswered(error.description(result).message),
                      sd_bus_error_has_names(error.get(), SD_BUS_ERROR_SERVICE_UNKNOWN,
                                             SD_BUS_ERROR_NAME_HAS_NO_OWNER) != 0};
}

} // namespace

struct SingleInstance::Service {
    Activated activated;
    SessionBus::Connection bus;
    Slot object;
    // Wakes the thread for a stop request.
    FileDescriptor wake;
    // Last: stopped and joined before the bus it serves goes.
    std::jthread thread;

    static int activate(sd_bus_message* message, void* userdata, sd_bus_error*) {
        auto* service = static_cast<Service*>(userdata);
        Activation activation;
        int result = readPlatformData(message, activation);
        if (result < 0)
            return result;
        // A throwing callback must not unwind through sd-bus; the request is answered anyway.
        try {
            service->activated(activation);
        } catch (...) {
        }
        return sd_bus_reply_method_return(message, "");
    }

    // Serves the bus on a thread of its own until the service goes.
    void startServing() {
        thread = std::jthread([this](std::stop_token stop) {
            // Nothing thrown here may end the program; the name then just goes unanswered.
            try {
                serve(stop);
            } catch (...) {
            }
        });
    }

    void serve(std::stop_token stop) {
        std::stop_callback wakeUp(stop, [this] {
            uint64_t one = 1;
            [[maybe_unused]] auto written = ::write(wake.get(), &one, sizeof one);
        });
        while (!stop.stop_requested()) {
            int result = sd_bus_process(bus.get(), nullptr);
            if (result < 0)
                return;
            if (result > 0)
                continue;
            int events = sd_bus_get_events(bus.get());
            uint64_t usec = UINT64_MAX;
            if (events < 0 || sd_bus_get_timeout(bus.get(), &usec) < 0)
                return;
            int wait = -1;
            if (usec != UINT64_MAX) {
                struct timespec now {};
                clock_gettime(CLOCK_MONOTONIC, &now);
                uint64_t nowUsec = static_cast<uint64_t>(now.tv_sec) * 1000000 +
                                   static_cast<uint64_t>(now.tv_nsec) / 1000;
                wait = usec <= nowUsec ? 0 : static_cast<int>((usec - nowUsec + 999) / 1000);
            }
            pollfd fds[] = {{sd_bus_get_fd(bus.get()), static_cast<short>(events), 0},
                            {wake.get(), POLLIN, 0}};
            if (::poll(fds, 2, wait) < 0 && errno != EINTR)
                return;
        }
    }
};

const sd_bus_vtable applicationVTable[] = {
    SD_BUS_VTABLE_START(0),
    // Only Activate: the window takes neither files nor actions from another launch.
    SD_BUS_METHOD("Activate", "a{sv}", "", SingleInstance::Service::activate,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

namespace {

// A service for one attempt at the name: on the session bus, with the event that stops it.
Expected<std::unique_ptr<SingleInstance::Service>, Failure>
connectService(SingleInstance::Activated activated, std::chrono::microseconds timeout) {
    FileDescriptor wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake)
        return noBus(SystemError::fromErrno("cannot make an event descriptor").message);
    auto bus = SessionBus::connect(timeout);
    if (!bus)
        return noBus(std::move(bus.error().message));
    auto service = std::make_unique<SingleInstance::Service>();
    service->activated = std::move(activated);
    service->bus = std::move(bus.value());
    service->wake = std::move(wake);
    return service;
}

// Puts the object in place before the name is ours, so that the first request finds it, then
// asks for the name; sd-bus's answer, -EEXIST when another instance owns it.
int offerObjectAndName(SingleInstance::Service& service, const std::string& name,
                       const std::string& path) {
    sd_bus_slot* slot = nullptr;
    int result = sd_bus_add_object_vtable(service.bus.get(), &slot, path.c_str(), interfaceName,
                                          applicationVTable, &service);
    service.object.reset(slot);
    if (result < 0)
        return result;
    return sd_bus_request_name(service.bus.get(), name.c_str(), 0);
}

} // namespace

SingleInstance::Activation SingleInstance::Activation::takeFromEnvironment() {
    Activation launch{environment("XDG_ACTIVATION_TOKEN")};
    ::unsetenv("XDG_ACTIVATION_TOKEN");
    return launch;
}

std::string SingleInstance::objectPath(const std::string& name) {
    std::string path = "/" + name;
    for (char& c : path)
        if (c == '.')
            c = '/';
        else if (c == '-')
            c = '_';
    return path;
}

SingleInstance::SingleInstance(std::unique_ptr<Service> service) : m_service(std::move(service)) {}

SingleInstance::~SingleInstance() = default;

Expected<SingleInstance::Claim, SingleInstance::Failure>
SingleInstance::claim(const std::string& name, const Activation& launch, Activated activated,
                      std::chrono::milliseconds timeout) {
    auto usec = std::chrono::duration_cast<std::chrono::microseconds>(timeout);
    std::string path = objectPath(name);
    Failure failure;
    // The owner can quit between our request for the name and our call to it: then try again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::unique_ptr<Service> service = PLENWICK_TRY(connectService(activated, usec));
        int result = offerObjectAndName(*service, name, path);
        if (result >= 0) {
            service->startServing();
            return Claim{Outcome::first,
                         std::unique_ptr<SingleInstance>(new SingleInstance(std::move(service)))};
        }
        if (result != -EEXIST)
            return noBus(std::string("the session bus refused the name: ") + strerror(-result));
        auto asked = askOwnerToActivate(service->bus.get(), name, path, launch, usec);
        if (asked)
            return Claim{Outcome::handedOver, nullptr};
        if (!asked.error().ownerGone)
            return std::move(asked.error().failure);
        failure = std::move(asked.error().failure);
    }
    return failure;
}

} // namespace plenwick
