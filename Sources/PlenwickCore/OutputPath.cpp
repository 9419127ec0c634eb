#include "PlenwickCore/OutputPath.hpp"

#include <system_error>

namespace plenwick {

std::string OutputPath::baseName(const std::string& filename) {
    size_t period = filename.rfind('.');
    // A leading period marks a hidden name, not an extension: ".profile" keeps its name.
    if (period == std::string::npos || period == 0)
        return filename;
    return filename.substr(0, period);
}

std::filesystem::path OutputPath::destination(const std::filesystem::path& root,
                                              const ExportSpec& spec,
                                              const std::string& inputFilename) {
    return root / spec.folder / (baseName(inputFilename) + std::string(extension));
}

bool OutputPath::escapesRoot(const std::string& folder) {
    if (folder.empty() || folder.front() == '/')
        return true;
    std::filesystem::path relative(folder);
    for (const auto& segment : relative)
        if (segment == "..")
            return true;
    return false;
}

Expected<void, ExportError> OutputPath::ensureDirectory(const std::filesystem::path& file) {
    std::error_code error;
    std::filesystem::create_directories(file.parent_path(), error);
    if (error)
        return ExportError::write(file, error.message());
    // create_directories reports success when a file of that name is already there.
    if (!std::filesystem::is_directory(file.parent_path(), error))
        return ExportError::write(file, std::make_error_code(std::errc::not_a_directory).message());
    return {};
}

} // namespace plenwick
