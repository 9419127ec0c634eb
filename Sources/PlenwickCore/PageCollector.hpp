#pragma once

#include "PlenwickCore/VersionCollector.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plenwick {

// Gathers, from the same parser events as a VersionCollector, the addresses each appcast item
// offers: its enclosures and its links, as written. The collector's builds tell which item
// announces which build. Names are matched exactly as written, prefix included.
class PageCollector {
public:
    // `versions` is fed the same events, each before this collector.
    explicit PageCollector(const VersionCollector& versions) : m_versions(versions) {}

    // `attributes` is the parser's list of name and value pairs, ending in a null name.
    void elementStarted(std::string_view name, const char* const* attributes);
    void characters(std::string_view text);
    void elementEnded(std::string_view name);

    // What the first item that announces `build` offers, best first: its enclosures that carry
    // `build`, then all its enclosures, then its links. Empty when no item announces it.
    std::vector<std::string> pages(int64_t build) const;

private:
    struct Enclosure {
        std::string url;
        std::optional<int64_t> build;
    };
    struct Item {
        std::vector<int64_t> builds;
        std::vector<Enclosure> enclosures;
        std::vector<std::string> links;
    };

    const VersionCollector& m_versions;
    // The items that ended, in order, that announce a build.
    std::vector<Item> m_items;
    // The item open now, and where its builds begin among the collector's.
    std::optional<Item> m_item;
    size_t m_firstBuild = 0;
    // Inside a link being read: 1 in the link itself, more in elements within it, whose text
    // is not the link's.
    int m_linkDepth = 0;
    std::string m_link;
};

} // namespace plenwick
