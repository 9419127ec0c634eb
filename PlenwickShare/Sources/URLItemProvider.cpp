#include "URLItemProvider.hpp"

#include "PlatformServices/FileURL.hpp"

namespace plenwick {

URLItemProvider::URLItemProvider(std::string url)
    : m_url(std::move(url)), m_fileScheme(FileURL::hasFileScheme(m_url)) {}

std::vector<std::string> URLItemProvider::registeredTypeIdentifiers() const {
    return {m_fileScheme ? "public.file-url" : "public.url"};
}

void URLItemProvider::loadFileURLItem(ItemCallback callback) {
    m_deliveries.push_back(startDelivery([callback = std::move(callback), url = m_url] {
        callback(std::monostate{}, url + " is not a file on this computer");
    }));
}

void URLItemProvider::loadFileRepresentation(const std::string&, FileCallback callback) {
    m_deliveries.push_back(startDelivery([callback = std::move(callback), url = m_url] {
        callback(std::nullopt, url + " is not a file on this computer");
    }));
}

} // namespace plenwick
