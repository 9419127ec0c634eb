#include "PlatformServices/UniformType.hpp"

#include "PlatformServices/FileDescriptor.hpp"
#include "PlatformServices/UTF8.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace plenwick {

struct UniformType::Entry {
    std::string_view identifier;
    std::vector<std::string_view> parents;
    // The first extension and MIME type are the preferred ones.
    std::vector<std::string_view> extensions;
    std::vector<std::string_view> mimeTypes;
};

namespace {

const std::vector<UniformType::Entry>& table() {
    static const std::vector<UniformType::Entry> entries = {
        {"public.item", {}, {}, {}},
        {"public.content", {}, {}, {}},
        {"public.data", {"public.item"}, {}, {"application/octet-stream"}},
        {"public.directory", {"public.item"}, {}, {}},
        {"public.folder", {"public.directory"}, {}, {"inode/directory"}},
        {"public.url", {"public.data"}, {}, {}},
        {"public.file-url", {"public.url"}, {}, {}},
        {"public.text", {"public.data", "public.content"}, {}, {}},
        {"public.plain-text", {"public.text"}, {"txt", "text"}, {"text/plain"}},
        {"com.adobe.pdf", {"public.data", "public.content"}, {"pdf"}, {"application/pdf"}},
        {"public.image", {"public.data", "public.content"}, {}, {}},
        {"public.jpeg", {"public.image"}, {"jpeg", "jpg", "jpe"}, {"image/jpeg"}},
        {"public.png", {"public.image"}, {"png"}, {"image/png"}},
        {"com.compuserve.gif", {"public.image"}, {"gif"}, {"image/gif"}},
        {"public.tiff", {"public.image"}, {"tiff", "tif"}, {"image/tiff"}},
        {"org.webmproject.webp", {"public.image"}, {"webp"}, {"image/webp"}},
        {"public.heif-standard", {"public.image"}, {}, {}},
        {"public.heic", {"public.heif-standard"}, {"heic"}, {"image/heic"}},
        {"public.heif", {"public.heif-standard"}, {"heif"}, {"image/heif"}},
        {"public.avif", {"public.image"}, {"avif"}, {"image/avif"}},
        {"public.jpeg-2000", {"public.image"}, {"jp2", "jpf", "jpx", "j2k"}, {"image/jp2"}},
        {"com.microsoft.bmp", {"public.image"}, {"bmp"}, {"image/bmp", "image/x-bmp"}},
        {"public.svg-image", {"public.image"}, {"svg", "svgz"}, {"image/svg+xml"}},
    };
    return entries;
}

const UniformType::Entry* find(std::string_view identifier) {
    for (const UniformType::Entry& entry : table())
        if (entry.identifier == identifier)
            return &entry;
    return nullptr;
}

bool equalIgnoringASCIICase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
        return lower(x) == lower(y);
    });
}

uint32_t bigEndian32(std::string_view bytes, size_t offset) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i)
        value = (value << 8) | static_cast<unsigned char>(bytes[offset + i]);
    return value;
}

uint32_t littleEndian32(std::string_view bytes, size_t offset) {
    uint32_t value = 0;
    for (size_t i = 4; i-- > 0;)
        value = (value << 8) | static_cast<unsigned char>(bytes[offset + i]);
    return value;
}

bool contains(std::initializer_list<std::string_view> list, std::string_view value) {
    return std::find(list.begin(), list.end(), value) != list.end();
}

// ISO base media files (HEIF, AVIF) open with an "ftyp" box: a major brand, then compatible
// brands. A specific major brand (HEIC, AVIF) decides; after a generic or unknown one, the first
// specific compatible brand does.
std::optional<std::string_view> brandedType(std::string_view bytes) {
    if (bytes.size() < 16 || bytes.substr(4, 4) != "ftyp")
        return std::nullopt;
    size_t end = std::min<size_t>(std::max<uint32_t>(bigEndian32(bytes, 0), 16), bytes.size());
    auto typeOf = [](std::string_view brand) -> std::optional<std::string_view> {
        if (contains({"heic", "heix", "heim", "heis", "hevc", "hevx", "hevm", "hevs"}, brand))
            return "public.heic";
        if (contains({"avif", "avis"}, brand))
            return "public.avif";
        if (contains({"mif1", "msf1"}, brand))
            return "public.heif";
        return std::nullopt;
    };
    std::optional<std::string_view> found = typeOf(bytes.substr(8, 4));
    for (size_t offset = 16; offset + 4 <= end && (!found || *found == "public.heif");
         offset += 4) {
        // A specific brand (HEIC, AVIF) says more than the generic HEIF one.
        if (auto type = typeOf(bytes.substr(offset, 4)))
            found = type;
    }
    return found;
}

bool isBMP(std::string_view bytes) {
    // "BM" alone starts plenty of text, so the header's reserved fields and the size of the
    // information header that follows have to fit too.
    if (bytes.size() < 18 || bytes.substr(0, 2) != "BM" ||
        bytes.substr(6, 4) != std::string_view("\0\0\0\0", 4))
        return false;
    uint32_t infoSize = littleEndian32(bytes, 14);
    return infoSize == 12 || infoSize == 16 || infoSize == 40 || infoSize == 52 || infoSize == 56 ||
           infoSize == 64 || infoSize == 108 || infoSize == 124;
}

// Text whose first element is <svg>, after an optional XML declaration, comments and doctype.
bool isSVG(std::string_view text) {
    size_t i = 0;
    auto skipSpace = [&] {
        while (i < text.size() &&
               (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n'))
            ++i;
    };
    auto skipPast = [&](std::string_view end) {
        size_t found = text.find(end, i);
        i = found == std::string_view::npos ? text.size() : found + end.size();
    };
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        i = 3;
    for (;;) {
        skipSpace();
        std::string_view rest = text.substr(i);
        if (rest.starts_with("<?"))
            skipPast("?>");
        else if (rest.starts_with("<!--"))
            skipPast("-->");
        else if (rest.starts_with("<!"))
            skipPast(">");
        else
            break;
    }
    std::string_view rest = text.substr(i);
    return rest.size() > 4 && rest.starts_with("<svg") &&
           std::string_view(" \t\r\n>/").find(rest[4]) != std::string_view::npos;
}

// Valid UTF-8 without NUL bytes; a sequence cut off by the end of an incomplete read is fine.
bool isText(std::string_view bytes, bool complete) {
    if (bytes.find('\0') != std::string_view::npos)
        return false;
    if (!complete) {
        for (size_t back = 1; back <= std::min<size_t>(3, bytes.size()); ++back) {
            unsigned char c = static_cast<unsigned char>(bytes[bytes.size() - back]);
            if ((c & 0xC0) == 0x80)
                continue;
            size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
            if (length > back)
                bytes.remove_suffix(back);
            break;
        }
    }
    return UTF8::isValid(bytes);
}

std::optional<std::string_view> sniff(std::string_view bytes, bool complete) {
    auto startsWith = [&](std::string_view prefix) { return bytes.starts_with(prefix); };
    using namespace std::string_view_literals;
    if (startsWith("\xFF\xD8\xFF"sv))
        return "public.jpeg";
    if (startsWith("\x89PNG\r\n\x1A\n"sv))
        return "public.png";
    if (startsWith("GIF87a"sv) || startsWith("GIF89a"sv))
        return "com.compuserve.gif";
    if (startsWith("II*\0"sv) || startsWith("MM\0*"sv) || startsWith("II+\0"sv) ||
        startsWith("MM\0+"sv))
        return "public.tiff";
    if (bytes.size() >= 12 && startsWith("RIFF"sv) && bytes.substr(8, 4) == "WEBP")
        return "org.webmproject.webp";
    if (auto branded = brandedType(bytes))
        return branded;
    if (startsWith("\0\0\0\x0CjP  \r\n\x87\n"sv) || startsWith("\xFF\x4F\xFF\x51"sv))
        return "public.jpeg-2000";
    if (isBMP(bytes))
        return "com.microsoft.bmp";
    if (startsWith("%PDF-"sv))
        return "com.adobe.pdf";
    if (bytes.empty() || !isText(bytes, complete))
        return std::nullopt;
    return isSVG(bytes) ? "public.svg-image" : "public.plain-text";
}

} // namespace

std::optional<UniformType> UniformType::withIdentifier(std::string_view identifier) {
    if (const Entry* entry = find(identifier))
        return UniformType(entry);
    return std::nullopt;
}

std::optional<UniformType> UniformType::withFilenameExtension(std::string_view extension,
                                                              const UniformType& supertype) {
    if (extension.empty())
        return std::nullopt;
    for (const Entry& entry : table()) {
        UniformType type(&entry);
        for (std::string_view candidate : entry.extensions)
            if (equalIgnoringASCIICase(candidate, extension) && type.conformsTo(supertype))
                return type;
    }
    return std::nullopt;
}

std::optional<UniformType> UniformType::ofFile(const std::filesystem::path& path) {
    // Only files and folders are opened: opening a FIFO would let a writer waiting for its
    // reader go on into a pipe that this look closes again, and opening a device may already do
    // something.
    struct stat found {};
    if (::stat(path.c_str(), &found) != 0 || (!S_ISREG(found.st_mode) && !S_ISDIR(found.st_mode)))
        return std::nullopt;
    // Non-blocking, so that a FIFO or a device put at the name meanwhile cannot stall the caller.
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0)
        return std::nullopt;
    struct stat status {};
    if (::fstat(file.get(), &status) != 0)
        return std::nullopt;
    if (S_ISDIR(status.st_mode))
        return known("public.folder");
    if (!S_ISREG(status.st_mode))
        return std::nullopt;

    std::array<char, 4096> head;
    size_t length = 0;
    while (length < head.size()) {
        ssize_t count = ::read(file.get(), head.data() + length, head.size() - length);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return std::nullopt;
        if (count == 0)
            break;
        length += static_cast<size_t>(count);
    }
    bool complete = length < head.size() || status.st_size <= static_cast<off_t>(length);
    return ofContents(std::string_view(head.data(), length), complete);
}

std::optional<UniformType> UniformType::ofContents(std::string_view bytes, bool complete) {
    if (auto identifier = sniff(bytes, complete))
        return known(*identifier);
    return std::nullopt;
}

UniformType UniformType::data() {
    return known("public.data");
}
UniformType UniformType::image() {
    return known("public.image");
}
UniformType UniformType::fileURL() {
    return known("public.file-url");
}

UniformType UniformType::known(std::string_view identifier) {
    return UniformType(find(identifier));
}

std::string_view UniformType::identifier() const {
    return m_entry->identifier;
}

bool UniformType::conformsTo(const UniformType& other) const {
    if (*this == other)
        return true;
    for (std::string_view parent : m_entry->parents)
        if (UniformType(find(parent)).conformsTo(other))
            return true;
    return false;
}

std::optional<std::string> UniformType::preferredFilenameExtension() const {
    if (m_entry->extensions.empty())
        return std::nullopt;
    return std::string(m_entry->extensions.front());
}

std::optional<std::string> UniformType::preferredMIMEType() const {
    if (m_entry->mimeTypes.empty())
        return std::nullopt;
    return std::string(m_entry->mimeTypes.front());
}

} // namespace plenwick
