#pragma once

#include "PlatformServices/ItemProvider.hpp"

#include <thread>

namespace plenwick {

// A local file handed to the share as a path or a file:// URI. It registers the file's image type
// when its bytes are one, then public.file-url, and suggests the file's name. The file URL item
// is always delivered, even for a file that is missing or unreadable: the loader's copy then
// names the problem. The file representation is the file itself.
class FileItemProvider final : public ItemProvider {
public:
    explicit FileItemProvider(const std::filesystem::path& path);

    std::vector<std::string> registeredTypeIdentifiers() const override;
    std::optional<std::string> suggestedName() const override;
    void loadFileURLItem(ItemCallback callback) override;
    void loadFileRepresentation(const std::string& typeIdentifier, FileCallback callback) override;

private:
    std::filesystem::path m_path;
    std::optional<std::string> m_imageType;
    // Last, so that deliveries still running are joined before the values they read go.
    std::vector<std::jthread> m_deliveries;
};

} // namespace plenwick
