#pragma once

#include "PlatformServices/Expected.hpp"
#include "PlenwickCore/ExportError.hpp"
#include "PlenwickCore/ExportSpec.hpp"

#include <filesystem>
#include <string>
#include <string_view>

namespace plenwick {

// Where the JPEG of one input for one spec goes: <root>/<folder>/<base name>.jpg.
namespace OutputPath {

inline constexpr std::string_view extension = ".jpg";

std::filesystem::path destination(const std::filesystem::path& root, const ExportSpec& spec,
                                  const std::string& inputFilename);

// The input's name without its extension (the last period and what follows it).
std::string baseName(const std::string& filename);

// A folder that is empty, absolute or climbs out through "..", which would put files
// outside the output root.
bool escapesRoot(const std::string& folder);

// Creates the folder that will hold `file`, with missing parents; `write` on failure.
Expected<void, ExportError> ensureDirectory(const std::filesystem::path& file);

} // namespace OutputPath

} // namespace plenwick
