#pragma once

#include "PlenwickCore/ExportSpec.hpp"

#include <cstddef>
#include <filesystem>
#include <vector>

namespace plenwick {

// What shares that died (killed, crashed, out of power) left behind: their staging folders in the
// temporary folder, and JPEG temporaries in the spec folders. Each share and the settings window
// at launch remove them; whatever a live share holds stays.
namespace Leftovers {

// Returns how many folders and files went.
size_t remove(const std::vector<ExportSpec>& specs, const std::filesystem::path& root);

} // namespace Leftovers

} // namespace plenwick
