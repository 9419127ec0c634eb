#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace plenwick {

// file:// URLs of local paths, percent-encoded as RFC 3986 asks.
namespace FileURL {

std::string string(const std::filesystem::path& path);
// Whether `url` begins with the "file:" scheme, in any case, as RFC 3986 compares schemes.
bool hasFileScheme(std::string_view url);
// The local path of a "file:" URL (host empty or "localhost"); nothing for any other URL.
std::optional<std::filesystem::path> path(std::string_view url);

} // namespace FileURL

} // namespace plenwick
