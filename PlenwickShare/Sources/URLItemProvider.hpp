#pragma once

#include "PlatformServices/ItemProvider.hpp"

#include <thread>

namespace plenwick {

// A URI that names nothing on this computer (http://…, file://otherhost/…). A file URI registers
// public.file-url and fails to load, saying why; any other URI registers public.url, which the
// loader does not stage.
class URLItemProvider final : public ItemProvider {
public:
    explicit URLItemProvider(std::string url);

    std::vector<std::string> registeredTypeIdentifiers() const override;
    void loadFileURLItem(ItemCallback callback) override;
    void loadFileRepresentation(const std::string& typeIdentifier, FileCallback callback) override;

private:
    std::string m_url;
    bool m_fileScheme;
    // Last, so that deliveries still running are joined before the values they read go.
    std::vector<std::jthread> m_deliveries;
};

} // namespace plenwick
