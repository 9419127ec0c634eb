#include "PlatformServices/FileManager.hpp"

#include "PlatformServices/FileURL.hpp"
#include "PlatformServices/SessionBus.hpp"

#include <string>

namespace plenwick {

bool FileManager::showItems(const std::vector<std::filesystem::path>& items,
                            std::chrono::milliseconds timeout) {
    std::string failure;
    SessionBus::Connection bus = SessionBus::connect(timeout, failure);
    if (!bus)
        return false;

    sd_bus_message* created = nullptr;
    if (sd_bus_message_new_method_call(bus.get(), &created, "org.freedesktop.FileManager1",
                                       "/org/freedesktop/FileManager1",
                                       "org.freedesktop.FileManager1", "ShowItems") < 0)
        return false;
    SessionBus::Message call(created);

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

    SessionBus::Error error;
    sd_bus_message* answered = nullptr;
    uint64_t usec = std::chrono::duration_cast<std::chrono::microseconds>(timeout).count();
    int result = sd_bus_call(bus.get(), call.get(), usec, error.get(), &answered);
    SessionBus::Message reply(answered);
    return result >= 0;
}

} // namespace plenwick
