#pragma once

#include "PlatformServices/Expected.hpp"
#include "PlatformServices/FileDescriptor.hpp"
#include "PlatformServices/SystemError.hpp"

#include <filesystem>
#include <memory>

namespace plenwick {

// Puts a local file at a new name in the staging folder without copying its bytes where the
// system allows it. Every way captures the file as it was opened, so that renaming, deleting or
// replacing the original afterwards changes nothing that was staged:
// - a hard link to the opened file, when both names are on one file system;
// - else a reflink (FICLONE), a copy-on-write clone where the file system has them;
// - else a reference: a symbolic link to /proc/self/fd/N, a descriptor of the opened file that
//   the caller keeps open until the export is done; opening the link reaches that file, even
//   once the original name is gone;
// - and a plain copy when no descriptor can be kept.
struct FileStaging {
    FileStaging() = delete;

    enum class Method { hardLink, reflink, reference, copy };

    struct Staged {
        Method method = Method::copy;
        // For a reference: the descriptor the staged link reaches through.
        std::shared_ptr<const FileDescriptor> reference;
    };

    // Stages `source` as `destination`, which must not exist yet. The system's reason when the
    // source cannot be read or the destination not be made.
    static Expected<Staged, SystemError> stage(const std::filesystem::path& source,
                                               const std::filesystem::path& destination);
};

} // namespace plenwick
