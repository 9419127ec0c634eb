#include "PlatformServices/PrivateFolder.hpp"

#include <cerrno>
#include <sys/stat.h>

namespace plenwick {

Expected<void, SystemError> PrivateFolder::create(const std::filesystem::path& folder) {
    std::error_code ignored;
    if (std::filesystem::is_directory(folder, ignored))
        return {};
    // Only a missing parent is created; any other one lets mkdir say what is wrong with it.
    std::filesystem::path parent = folder.parent_path();
    if (!parent.empty() && parent != folder && !std::filesystem::exists(parent, ignored))
        if (auto created = create(parent); !created)
            return created.error();
    if (::mkdir(folder.c_str(), 0700) == 0)
        return {};
    int code = errno;
    if (code == EEXIST && std::filesystem::is_directory(folder, ignored))
        return {};
    return SystemError::fromErrno({}, code);
}

} // namespace plenwick
