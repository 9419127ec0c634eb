#pragma once

#include <optional>
#include <string_view>

namespace plenwick {

// Where the "Buy me a coffee" link leads; this build has none, which hides the link.
namespace TipLink {

inline constexpr std::optional<std::string_view> url = std::nullopt;

} // namespace TipLink

} // namespace plenwick
