#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plenwick {

// Gathers the build numbers of one appcast parse from three parser events: element start, text
// and element end. Names are matched exactly as written, prefix included.
class VersionCollector {
public:
    // `attributes` is the parser's list of name and value pairs, ending in a null name.
    void elementStarted(std::string_view name, const char* const* attributes);
    void characters(std::string_view text);
    void elementEnded(std::string_view name);

    const std::vector<int64_t>& builds() const { return m_builds; }

    // An optional sign, then decimal digits only, within 64 bits.
    static std::optional<int64_t> buildNumber(std::string_view text);

private:
    std::vector<int64_t> m_builds;
    bool m_inVersionElement = false;
    std::string m_text;
};

} // namespace plenwick
