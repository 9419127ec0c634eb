#include "PlenwickCore/PageCollector.hpp"

#include <algorithm>

namespace plenwick {

void PageCollector::elementStarted(std::string_view name, const char* const* attributes) {
    if (m_linkDepth > 0) {
        ++m_linkDepth;
        return;
    }
    // An item within an item starts afresh: only the innermost one offers anything.
    if (name == "item") {
        m_item.emplace();
        m_firstBuild = m_versions.builds().size();
        return;
    }
    if (!m_item)
        return;
    if (name == "link") {
        m_linkDepth = 1;
        m_link.clear();
        return;
    }
    if (name != "enclosure")
        return;
    const char* url = nullptr;
    std::optional<int64_t> build;
    for (const char* const* pair = attributes; pair[0]; pair += 2) {
        std::string_view attribute = pair[0];
        if (attribute == "url")
            url = pair[1];
        else if (attribute == "sparkle:version")
            build = VersionCollector::buildNumber(pair[1]);
    }
    if (url)
        m_item->enclosures.push_back({url, build});
}

void PageCollector::characters(std::string_view text) {
    if (m_linkDepth == 1)
        m_link += text;
}

void PageCollector::elementEnded(std::string_view name) {
    if (m_linkDepth > 0) {
        if (--m_linkDepth == 0)
            m_item->links.push_back(std::move(m_link));
        return;
    }
    if (name != "item" || !m_item)
        return;
    const auto& builds = m_versions.builds();
    m_item->builds.assign(builds.begin() + static_cast<std::ptrdiff_t>(m_firstBuild), builds.end());
    if (!m_item->builds.empty())
        m_items.push_back(std::move(*m_item));
    // What follows an item belongs to none until the next one starts.
    m_item.reset();
}

std::vector<std::string> PageCollector::pages(int64_t build) const {
    auto item = std::find_if(m_items.begin(), m_items.end(), [build](const Item& candidate) {
        return std::find(candidate.builds.begin(), candidate.builds.end(), build) !=
               candidate.builds.end();
    });
    if (item == m_items.end())
        return {};
    std::vector<std::string> pages;
    for (const Enclosure& enclosure : item->enclosures)
        if (enclosure.build == build)
            pages.push_back(enclosure.url);
    for (const Enclosure& enclosure : item->enclosures)
        pages.push_back(enclosure.url);
    pages.insert(pages.end(), item->links.begin(), item->links.end());
    return pages;
}

} // namespace plenwick
