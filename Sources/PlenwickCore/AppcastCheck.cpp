#include "PlenwickCore/AppcastCheck.hpp"

#include "PlenwickCore/VersionCollector.hpp"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <memory>

// The entity-amplification limits are declared only for a library built with DTD support, which
// Debian's is; linking fails if it were not.
#define XML_DTD
#include <expat.h>

namespace plenwick {

namespace {

struct FreeParser {
    void operator()(XML_ParserStruct* parser) const { XML_ParserFree(parser); }
};
using Parser = std::unique_ptr<XML_ParserStruct, FreeParser>;

// Entities may expand a document to at most this much text once it has produced this many
// bytes; a feed has no use for entities, and an entity bomb then stops early.
constexpr float maximumAmplification = 10.0f;
constexpr unsigned long long amplificationThreshold = 1 << 20;

void XMLCALL elementStarted(void* collector, const XML_Char* name, const XML_Char** attributes) {
    static_cast<VersionCollector*>(collector)->elementStarted(name, attributes);
}

void XMLCALL characters(void* collector, const XML_Char* text, int length) {
    static_cast<VersionCollector*>(collector)->characters(
        std::string_view(text, static_cast<size_t>(length)));
}

void XMLCALL elementEnded(void* collector, const XML_Char* name) {
    static_cast<VersionCollector*>(collector)->elementEnded(name);
}

} // namespace

std::string AppcastCheck::feedURLFromEnvironment() {
    if (const char* url = std::getenv("PLENWICK_FEED_URL"); url && *url)
        return url;
    return std::string(feedURL);
}

std::optional<int64_t> AppcastCheck::latestBuild(std::string_view document) {
    // No namespace processing: names arrive with their prefixes, as written. Without an
    // external-entity handler, expat reads nothing outside the document.
    Parser parser(XML_ParserCreate(nullptr));
    if (!parser)
        return std::nullopt;
    XML_SetBillionLaughsAttackProtectionMaximumAmplification(parser.get(), maximumAmplification);
    XML_SetBillionLaughsAttackProtectionActivationThreshold(parser.get(), amplificationThreshold);

    VersionCollector collector;
    XML_SetUserData(parser.get(), &collector);
    XML_SetElementHandler(parser.get(), elementStarted, elementEnded);
    XML_SetCharacterDataHandler(parser.get(), characters);

    // expat takes an int length, so a long document goes in pieces.
    constexpr size_t piece = INT_MAX / 2;
    do {
        size_t length = std::min(piece, document.size());
        bool last = length == document.size();
        if (XML_Parse(parser.get(), document.data(), static_cast<int>(length), last) !=
            XML_STATUS_OK)
            return std::nullopt;
        document.remove_prefix(length);
    } while (!document.empty());

    const auto& builds = collector.builds();
    if (builds.empty())
        return std::nullopt;
    return *std::max_element(builds.begin(), builds.end());
}

bool AppcastCheck::shouldCheck(Date now, std::optional<Date> last) {
    if (!last)
        return true;
    // Far-apart dates overflow the clock's 64-bit count; the sign still decides.
    Date::rep difference = 0;
    if (__builtin_sub_overflow(now.time_since_epoch().count(), last->time_since_epoch().count(),
                               &difference))
        return now > *last;
    return Date::duration(difference) >=
           std::chrono::duration_cast<Date::duration>(std::chrono::duration<double>(interval));
}

std::optional<std::string> AppcastCheck::nudgeText(int64_t current, std::optional<int64_t> latest) {
    if (latest && current < *latest)
        return std::string(nudge);
    return std::nullopt;
}

} // namespace plenwick
