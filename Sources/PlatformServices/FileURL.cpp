#include "PlatformServices/FileURL.hpp"

#include "PlatformServices/PercentEncoding.hpp"

#include <cctype>

namespace plenwick {

namespace {

constexpr std::string_view fileScheme = "file:";

} // namespace

std::string FileURL::string(const std::filesystem::path& path) {
    return "file://" + PercentEncoding::encoded(std::filesystem::absolute(path).string(),
                                                PercentEncoding::uriPath);
}

bool FileURL::hasFileScheme(std::string_view url) {
    if (url.size() < fileScheme.size())
        return false;
    for (size_t i = 0; i < fileScheme.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(url[i])) != fileScheme[i])
            return false;
    return true;
}

std::optional<std::filesystem::path> FileURL::path(std::string_view url) {
    if (!hasFileScheme(url))
        return std::nullopt;
    std::string_view rest = url.substr(fileScheme.size());

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

    std::string decoded = PercentEncoding::decoded(rest);
    // A NUL byte cannot be part of a path; such a URL names no file.
    if (decoded.find('\0') != std::string::npos)
        return std::nullopt;
    return std::filesystem::path(decoded);
}

} // namespace plenwick
