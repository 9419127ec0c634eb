#include "PlenwickCore/AppcastCheck.hpp"

#include "PlenwickCore/PageCollector.hpp"
#include "PlenwickCore/VersionCollector.hpp"

#include <algorithm>
#include <bitset>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <iconv.h>
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

// One parse gathers the builds and, item by item, the pages that offer them.
struct Collectors {
    VersionCollector versions;
    PageCollector pages{versions};
};

void XMLCALL elementStarted(void* data, const XML_Char* name, const XML_Char** attributes) {
    auto* collectors = static_cast<Collectors*>(data);
    collectors->versions.elementStarted(name, attributes);
    collectors->pages.elementStarted(name, attributes);
}

void XMLCALL characters(void* data, const XML_Char* text, int length) {
    auto* collectors = static_cast<Collectors*>(data);
    std::string_view piece(text, static_cast<size_t>(length));
    collectors->versions.characters(piece);
    collectors->pages.characters(piece);
}

void XMLCALL elementEnded(void* data, const XML_Char* name) {
    auto* collectors = static_cast<Collectors*>(data);
    collectors->versions.elementEnded(name);
    collectors->pages.elementEnded(name);
}

struct CloseConverter {
    void operator()(void* converter) const { iconv_close(static_cast<iconv_t>(converter)); }
};
using Converter = std::unique_ptr<void, CloseConverter>;

// A name as XML declarations spell encodings; nothing else reaches iconv.
bool isEncodingName(std::string_view name) {
    return !name.empty() && name.size() <= 40 && std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.';
    });
}

// What each byte of a charset stands for, as iconv decodes it: a code point, or -1 for a byte
// the charset leaves undefined. False for a charset iconv does not know, and for one that is not
// a plain single-byte charset (a byte that begins a longer sequence or switches a shift state,
// a byte for several characters, two bytes for one character): expat takes only maps of
// characters in one byte each, without a converter.
bool singleByteMap(const char* name, int (&map)[256]) {
    if (!isEncodingName(name))
        return false;
    iconv_t opened = iconv_open("UTF-32LE", name);
    if (opened == reinterpret_cast<iconv_t>(-1))
        return false;
    Converter converter(opened);
    std::bitset<0x10000> taken;
    for (int byte = 0; byte < 256; ++byte) {
        // Every byte from the initial state, so that no shift state carries over.
        iconv(opened, nullptr, nullptr, nullptr, nullptr);
        char in = static_cast<char>(byte);
        char* input = &in;
        size_t inputLeft = 1;
        unsigned char out[8];
        char* output = reinterpret_cast<char*>(out);
        size_t outputLeft = sizeof out;
        if (iconv(opened, &input, &inputLeft, &output, &outputLeft) == static_cast<size_t>(-1)) {
            if (errno != EILSEQ)
                return false;
            map[byte] = -1;
            continue;
        }
        if (sizeof out - outputLeft != 4)
            return false;
        char32_t codePoint =
            out[0] | out[1] << 8 | out[2] << 16 | static_cast<char32_t>(out[3]) << 24;
        if (codePoint >= taken.size() || taken[codePoint])
            return false;
        taken[codePoint] = true;
        map[byte] = static_cast<int>(codePoint);
    }
    return true;
}

// Feeds in a single-byte charset that expat has no table for (windows-1252 above all) are
// decoded through iconv's; expat itself refuses maps that do not keep ASCII where XML needs it.
int XMLCALL unknownEncoding(void*, const XML_Char* name, XML_Encoding* info) {
    if (!singleByteMap(name, info->map))
        return XML_STATUS_ERROR;
    info->data = nullptr;
    info->convert = nullptr;
    info->release = nullptr;
    return XML_STATUS_OK;
}

} // namespace

std::string AppcastCheck::feedURLFromEnvironment() {
    if (const char* url = std::getenv("PLENWICK_FEED_URL"); url && *url)
        return url;
    return std::string(feedURL);
}

std::optional<AppcastCheck::Release> AppcastCheck::latestRelease(std::string_view document) {
    // No namespace processing: names arrive with their prefixes, as written. Without an
    // external-entity handler, expat reads nothing outside the document.
    Parser parser(XML_ParserCreate(nullptr));
    if (!parser)
        return std::nullopt;
    XML_SetBillionLaughsAttackProtectionMaximumAmplification(parser.get(), maximumAmplification);
    XML_SetBillionLaughsAttackProtectionActivationThreshold(parser.get(), amplificationThreshold);

    Collectors collectors;
    XML_SetUserData(parser.get(), &collectors);
    XML_SetElementHandler(parser.get(), elementStarted, elementEnded);
    XML_SetCharacterDataHandler(parser.get(), characters);
    XML_SetUnknownEncodingHandler(parser.get(), unknownEncoding, nullptr);

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

    const auto& builds = collectors.versions.builds();
    if (builds.empty())
        return std::nullopt;
    int64_t latest = *std::max_element(builds.begin(), builds.end());
    return Release{latest, collectors.pages.pages(latest)};
}

std::optional<int64_t> AppcastCheck::latestBuild(std::string_view document) {
    auto release = latestRelease(document);
    if (!release)
        return std::nullopt;
    return release->build;
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
