#include "PlenwickCore/SpecStore.hpp"

#include "PlatformServices/Log.hpp"
#include "PlatformServices/XdgUserDirs.hpp"

#include <cerrno>
#include <string>

namespace plenwick {

std::filesystem::path SpecStore::outputRoot() {
    return XdgUserDirs::pictures() / "Socials";
}

std::vector<ExportSpec> SpecStore::load() const {
    if (!m_preferences)
        return ExportSpec::defaults();
    auto read = m_preferences->data(specsKey);
    if (!read)
        Log("preferences").error("spec list not read: %s", read.error().message.c_str());
    const std::optional<Preferences::Data>& stored = read.valueOr(std::nullopt);
    if (!stored)
        return ExportSpec::defaults();
    auto specs = ExportSpec::decodeList(
        std::string_view(reinterpret_cast<const char*>(stored->data()), stored->size()));
    // Whatever is wrong with the stored list, a share still runs with specs; the stored bytes
    // stay as they are until the next save.
    if (!specs || specs.value().empty())
        return ExportSpec::defaults();
    return std::move(specs.value());
}

Expected<void, SystemError> SpecStore::save(const std::vector<ExportSpec>& specs) {
    if (!m_preferences)
        return SystemError{"there are no preferences to keep the list in"};
    auto text = ExportSpec::encodeList(specs);
    if (!text)
        return SystemError{"the list cannot be encoded", EINVAL};
    if (auto stored =
            m_preferences->setData(specsKey, Preferences::Data(text->begin(), text->end()));
        !stored)
        return stored.error().prefixed("the list cannot be stored");
    return {};
}

} // namespace plenwick
