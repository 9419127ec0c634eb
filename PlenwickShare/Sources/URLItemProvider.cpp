#include "URLItemProvider.hpp"

#include <algorithm>
#include <cctype>

namespace plenwick {

URLItemProvider::URLItemProvider(std::string url) : m_url(std::move(url)) {
    std::string scheme = m_url.substr(0, m_url.find(':'));
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    m_fileScheme = scheme == "file";
}

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
