#include "PlatformServices/FileManager.hpp"

#include "PlatformServices/FileURL.hpp"
#include "PlatformServices/SessionBus.hpp"

#include <string>

namespace plenwick {

Expected<void, SystemError> FileManager::showItems(const std::vector<std::filesystem::path>& items,
                                                   std::chrono::milliseconds timeout) {
    SessionBus::Connection connection = PLENWICK_TRY(SessionBus::connect(timeout));
    sd_bus* bus = connection.get();

    sd_bus_message* created = nullptr;
    int result = sd_bus_message_new_method_call(bus, &created, "org.freedesktop.FileManager1",
                                                "/org/freedesktop/FileManager1",
                                                "org.freedesktop.FileManager1", "ShowItems");
    if (result < 0)
        return SystemError::fromErrno({}, -result);
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
    if ((result = sd_bus_message_append_strv(call.get(), strv.data())) < 0 ||
        (result = sd_bus_message_append(call.get(), "s", "")) < 0)
        return SystemError::fromErrno({}, -result);

    SessionBus::Error error;
    sd_bus_message* answered = nullptr;
    uint64_t usec = std::chrono::duration_cast<std::chrono::microseconds>(timeout).count();
    result = sd_bus_call(bus, call.get(), usec, error.get(), &answered);
    SessionBus::Message reply(answered);
    if (result < 0)
        return error.description(result);
    return {};
}

} // namespace plenwick
