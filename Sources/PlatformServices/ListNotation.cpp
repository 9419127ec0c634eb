#include "PlatformServices/ListNotation.hpp"

#include "PlatformServices/UTF8.hpp"

#include <cstdio>

namespace plenwick {

namespace {

bool isControl(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

} // namespace

std::string ListNotation::format(const std::vector<std::string>& elements) {
    std::string text = "[";
    for (size_t i = 0; i < elements.size(); ++i) {
        if (i > 0)
            text += ", ";
        text += quoted(elements[i]);
    }
    text += "]";
    return text;
}

std::string ListNotation::quoted(std::string_view element) {
    std::string text = "\"";
    for (size_t offset = 0; offset < element.size();) {
        auto sequence = UTF8::decode(element, offset);
        if (!sequence) {
            UTF8::append(text, U'\uFFFD');
            ++offset;
            continue;
        }
        char32_t c = sequence->codePoint;
        switch (c) {
        case U'"':
            text += "\\\"";
            break;
        case U'\\':
            text += "\\\\";
            break;
        case U'\0':
            text += "\\0";
            break;
        case U'\t':
            text += "\\t";
            break;
        case U'\n':
            text += "\\n";
            break;
        case U'\r':
            text += "\\r";
            break;
        default:
            if (isControl(c)) {
                char escape[16];
                std::snprintf(escape, sizeof escape, "\\u{%x}", static_cast<unsigned>(c));
                text += escape;
            } else {
                text.append(element.substr(offset, sequence->length));
            }
        }
        offset += sequence->length;
    }
    text += "\"";
    return text;
}

} // namespace plenwick
