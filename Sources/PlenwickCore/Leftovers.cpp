#include "PlenwickCore/Leftovers.hpp"

#include "PlatformServices/TemporaryFile.hpp"
#include "PlatformServices/TemporaryFolder.hpp"
#include "PlenwickCore/OutputPath.hpp"

namespace plenwick {

size_t Leftovers::remove(const std::vector<ExportSpec>& specs, const std::filesystem::path& root) {
    size_t removed = 0;
    if (auto temporary = TemporaryFolder::systemFolder())
        removed += TemporaryFolder::removeLeftovers(temporary.value());
    for (const ExportSpec& spec : specs)
        if (!OutputPath::escapesRoot(spec.folder))
            removed += TemporaryFile::removeLeftovers(root / spec.folder, OutputPath::extension);
    return removed;
}

} // namespace plenwick
