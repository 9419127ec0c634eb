#include "PlatformServices/UTF8.hpp"

namespace plenwick {

std::optional<UTF8::Sequence> UTF8::decode(std::string_view text, size_t offset) {
    if (offset >= text.size())
        return std::nullopt;
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[offset + i]); };
    unsigned char lead = byte(0);
    if (lead < 0x80)
        return Sequence{lead, 1};

    size_t length;
    char32_t codePoint;
    char32_t minimum;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, codePoint = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, codePoint = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, codePoint = lead & 0x07, minimum = 0x10000;
    } else {
        return std::nullopt;
    }
    if (text.size() - offset < length)
        return std::nullopt;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80)
            return std::nullopt;
        codePoint = (codePoint << 6) | (byte(i) & 0x3F);
    }
    if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
        return std::nullopt;
    return Sequence{codePoint, length};
}

bool UTF8::isValid(std::string_view text) {
    for (size_t offset = 0; offset < text.size();) {
        auto sequence = decode(text, offset);
        if (!sequence)
            return false;
        offset += sequence->length;
    }
    return true;
}

std::string UTF8::repaired(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    for (size_t offset = 0; offset < text.size();) {
        if (auto sequence = decode(text, offset)) {
            result.append(text.substr(offset, sequence->length));
            offset += sequence->length;
        } else {
            append(result, U'\uFFFD');
            ++offset;
        }
    }
    return result;
}

void UTF8::append(std::string& text, char32_t codePoint) {
    if (codePoint < 0x80) {
        text += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        text += static_cast<char>(0xC0 | (codePoint >> 6));
        text += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        text += static_cast<char>(0xE0 | (codePoint >> 12));
        text += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        text += static_cast<char>(0xF0 | (codePoint >> 18));
        text += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        text += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

} // namespace plenwick
