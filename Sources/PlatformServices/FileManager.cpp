#include "PlatformServices/FileManager.hpp"

#include "PlatformServices/FileURL.hpp"

#include <memory>
#include <string>

#include <systemd/sd-bus.h>

namespace plenwick {

namespace {

struct BusCloser {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageUnref {
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Bus = std::unique_ptr<sd_bus, BusCloser>;
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

struct BusError {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~BusError() { sd_bus_error_free(&error); }
};

} // namespace

bool FileManager::showItems(const std::vector<std::filesystem::path>& items,
                            std::chrono::milliseconds timeout) {
    sd_bus* opened = nullptr;
    if (sd_bus_open_user(&opened) < 0)
        return false;
    Bus bus(opened);

    sd_bus_message* created = nullptr;
    if (sd_bus_message_new_method_call(bus.get(), &created, "org.freedesktop.FileManager1",
                                       "/org/freedesktop/FileManager1",
                                       "org.freedesktop.FileManager1", "ShowItems") < 0)
        return false;
    Message call(created);

    std::vector<std::string> uris;
    uris.reserve(items.size());
    for (const auto& item : items)
        uris.push_back(FileURL::string(item));
    std::vector<char*> strv;
    for (auto& uri : uris)
        strv.push_back(uri.data());
    strv.push_back(nullptr);
    // The second argument is the startup notification id, which we do not have.
    if (sd_bus_message_append_strv(call.get(), strv.data()) < 0 ||
        sd_bus_message_append(call.get(), "s", "") < 0)
        return false;

    BusError error;
    sd_bus_message* answered = nullptr;
    uint64_t usec = std::chrono::duration_cast<std::chrono::microseconds>(timeout).count();
    int result = sd_bus_call(bus.get(), call.get(), usec, &error.error, &answered);
    Message reply(answered);
    return result >= 0;
}

} // namespace plenwick
