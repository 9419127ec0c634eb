#include "PlatformServices/FileURL.hpp"

#include <cctype>

namespace plenwick {

namespace {

bool unreserved(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~' || c == '/' || c == '!' || c == '$' || c == '&' ||
           c == '\'' || c == '(' || c == ')' || c == '*' || c == '+' || c == ',' || c == ';' ||
           c == '=' || c == ':' || c == '@';
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

std::string FileURL::string(const std::filesystem::path& path) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string url = "file://";
    for (unsigned char c : std::filesystem::absolute(path).string()) {
        if (unreserved(c)) {
            url += static_cast<char>(c);
        } else {
            url += '%';
            url += digits[c >> 4];
            url += digits[c & 0xF];
        }
    }
    return url;
}

std::optional<std::filesystem::path> FileURL::path(std::string_view url) {
    constexpr std::string_view scheme = "file:";
    if (url.size() < scheme.size())
        return std::nullopt;
    for (size_t i = 0; i < scheme.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(url[i])) != scheme[i])
            return std::nullopt;
    std::string_view rest = url.substr(scheme.size());

    if (rest.starts_with("//")) {
        rest.remove_prefix(2);
        size_t slash = rest.find('/');
        std::string_view host = rest.substr(0, slash);
        if (!host.empty() && host != "localhost")
            return std::nullopt;
        if (slash == std::string_view::npos)
            return std::nullopt;
        rest.remove_prefix(slash);
    }
    if (!rest.starts_with('/'))
        return std::nullopt;
    rest = rest.substr(0, rest.find_first_of("?#"));

    std::string decoded = percentDecoded(rest);
    // A NUL byte cannot be part of a path; such a URL names no file.
    if (decoded.find('\0') != std::string::npos)
        return std::nullopt;
    return std::filesystem::path(decoded);
}

std::string FileURL::percentDecoded(std::string_view text) {
    std::string decoded;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
            hexValue(text[i + 2]) >= 0) {
            decoded += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            decoded += text[i];
        }
    }
    return decoded;
}

} // namespace plenwick
