#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace plenwick {

// file:// URLs of local paths, percent-encoded as RFC 3986 asks.
namespace FileURL {

std::string string(const std::filesystem::path& path);
// The local path of a "file:" URL (host empty or "localhost"); nothing for any other URL.
std::optional<std::filesystem::path> path(std::string_view url);
// Undoes %XX escapes; a % without two hex digits after it stands for itself.
std::string percentDecoded(std::string_view text);

} // namespace FileURL

} // namespace plenwick
