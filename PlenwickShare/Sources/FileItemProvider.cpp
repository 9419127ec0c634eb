#include "FileItemProvider.hpp"

#include "PlatformServices/FileURL.hpp"
#include "PlatformServices/UniformType.hpp"

namespace plenwick {

FileItemProvider::FileItemProvider(const std::filesystem::path& path) {
    std::error_code ignored;
    m_path = std::filesystem::absolute(path, ignored).lexically_normal();
    // "photos/" and "photos" name the same folder; the name is the last real component.
    if (!m_path.has_filename() && m_path.has_parent_path() && m_path != m_path.root_path())
        m_path = m_path.parent_path();
    if (auto type = UniformType::ofFile(m_path); type && type->conformsTo(UniformType::image()))
        m_imageType = std::string(type->identifier());
}

std::vector<std::string> FileItemProvider::registeredTypeIdentifiers() const {
    std::vector<std::string> types;
    if (m_imageType)
        types.push_back(*m_imageType);
    types.emplace_back(UniformType::fileURL().identifier());
    return types;
}

std::optional<std::string> FileItemProvider::suggestedName() const {
    std::string name = m_path.filename().string();
    if (name.empty())
        return std::nullopt;
    return name;
}

void FileItemProvider::loadFileURLItem(ItemCallback callback) {
    m_deliveries.push_back(
        startDelivery([callback = std::move(callback), url = FileURL::string(m_path)] {
            callback(url, std::nullopt);
        }));
}

void FileItemProvider::loadFileRepresentation(const std::string& typeIdentifier,
                                              FileCallback callback) {
    auto requested = UniformType::withIdentifier(typeIdentifier);
    auto own = m_imageType ? UniformType::withIdentifier(*m_imageType) : std::nullopt;
    std::optional<std::string> error;
    if (!requested || !own || !own->conformsTo(*requested))
        error = m_path.filename().string() + " has no " + typeIdentifier + " representation";
    m_deliveries.push_back(startDelivery([callback = std::move(callback), path = m_path, error] {
        if (error)
            callback(std::nullopt, error);
        else
            callback(path, std::nullopt);
    }));
}

} // namespace plenwick
