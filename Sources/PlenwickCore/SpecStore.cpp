#include "PlenwickCore/SpecStore.hpp"

#include "PlatformServices/XdgUserDirs.hpp"

#include <string>

namespace plenwick {

std::filesystem::path SpecStore::outputRoot() {
    return XdgUserDirs::pictures() / "Socials";
}

std::vector<ExportSpec> SpecStore::load() const {
    if (!m_preferences)
        return ExportSpec::defaults();
    auto stored = m_preferences->data(specsKey);
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

bool SpecStore::save(const std::vector<ExportSpec>& specs) {
    if (!m_preferences)
        return false;
    auto text = ExportSpec::encodeList(specs);
    if (!text)
        return false;
    return m_preferences->setData(specsKey, Preferences::Data(text->begin(), text->end()))
        .hasValue();
}

} // namespace plenwick
