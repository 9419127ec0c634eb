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

} // namespace

struct SingleInstance::Service {
    Activated activated;
    SessionBus::Connection bus;
    Slot object;
    FileDescriptor wake{eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
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

SingleInstance::Claim SingleInstance::claim(const std::string& name, const Activation& launch,
                                            Activated activated,
                                            std::chrono::milliseconds timeout) {
    Claim claim;
    auto usec = std::chrono::duration_cast<std::chrono::microseconds>(timeout);
    std::string path = objectPath(name);
    // The owner can quit between our request for the name and our call to it: then try again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        auto service = std::make_unique<Service>();
        service->activated = activated;
        auto bus = SessionBus::connect(usec);
        if (!bus) {
            claim.outcome = Outcome::noBus;
            claim.failure = std::move(bus.error().message);
            return claim;
        }
        service->bus = std::move(bus.value());
        if (!service->wake) {
            claim.outcome = Outcome::noBus;
            claim.failure = "cannot make an event descriptor";
            return claim;
        }
        // The object is in place before the name is ours, so the first request finds it.
        sd_bus_slot* slot = nullptr;
        int result = sd_bus_add_object_vtable(service->bus.get(), &slot, path.c_str(),
                                              interfaceName, applicationVTable, service.get());
        service->object.reset(slot);
        if (result >= 0)
            result = sd_bus_request_name(service->bus.get(), name.c_str(), 0);
        if (result >= 0) {
            Service* raw = service.get();
            raw->thread = std::jthread([raw](std::stop_token stop) {
                // Nothing thrown here may end the program; the name then just goes unanswered.
                try {
                    raw->serve(stop);
                } catch (...) {
                }
            });
            claim.outcome = Outcome::first;
            claim.instance.reset(new SingleInstance(std::move(service)));
            return claim;
        }
        if (result != -EEXIST) {
            claim.outcome = Outcome::noBus;
            claim.failure = std::string("the session bus refused the name: ") + strerror(-result);
            return claim;
        }

        sd_bus_message* created = nullptr;
        if ((result = sd_bus_message_new_method_call(service->bus.get(), &created, name.c_str(),
                                                     path.c_str(), interfaceName, "Activate")) <
            0) {
            claim.outcome = Outcome::unanswered;
            claim.failure = strerror(-result);
            return claim;
        }
        SessionBus::Message call(created);
        if ((result = sd_bus_message_open_container(call.get(), 'a', "{sv}")) < 0 ||
            (result = appendEntry(call.get(), "activation-token", launch.activationToken)) < 0 ||
            (result = sd_bus_message_close_container(call.get())) < 0) {
            claim.outcome = Outcome::unanswered;
            claim.failure = strerror(-result);
            return claim;
        }
        SessionBus::Error error;
        sd_bus_message* answered = nullptr;
        result = sd_bus_call(service->bus.get(), call.get(), static_cast<uint64_t>(usec.count()),
                             error.get(), &answered);
        SessionBus::Message reply(answered);
        if (result >= 0) {
            claim.outcome = Outcome::handedOver;
            return claim;
        }
        claim.outcome = Outcome::unanswered;
        claim.failure = error.description(result).message;
        if (!sd_bus_error_has_names(error.get(), SD_BUS_ERROR_SERVICE_UNKNOWN,
                                    SD_BUS_ERROR_NAME_HAS_NO_OWNER))
            return claim;
    }
    return claim;
}

} // namespace plenwick
