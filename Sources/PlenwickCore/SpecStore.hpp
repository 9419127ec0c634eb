#pragma once

#include "PlatformServices/Expected.hpp"
#include "PlatformServices/Preferences.hpp"
#include "PlatformServices/SystemError.hpp"
#include "PlenwickCore/ExportSpec.hpp"

#include <filesystem>
#include <memory>
#include <string_view>
#include <vector>

namespace plenwick {

// The spec list both programs share, kept under "exportSpecs" in the shared preferences suite
// (Preferences::sharedSuiteName) as the compact JSON of ExportSpec::encodeList. Without a suite it
// loads the defaults and saves nothing.
class SpecStore {
public:
    static constexpr std::string_view specsKey = "exportSpecs";

    explicit SpecStore(std::shared_ptr<Preferences> preferences)
        : m_preferences(std::move(preferences)) {}

    // The Socials folder in the user's Pictures folder; not created here.
    static std::filesystem::path outputRoot();

    // The stored list, or the defaults when nothing usable is stored. Never writes.
    std::vector<ExportSpec> load() const;
    // Replaces the stored list; an error saying why (and nothing stored) when there is no suite
    // or the list cannot be encoded or stored.
    Expected<void, SystemError> save(const std::vector<ExportSpec>& specs);

private:
    std::shared_ptr<Preferences> m_preferences;
};

} // namespace plenwick
