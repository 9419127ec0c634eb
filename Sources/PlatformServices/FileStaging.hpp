#pragma once

#include "PlatformServices/Expected.hpp"
#include "PlatformServices/FileDescriptor.hpp"
#include "PlatformServices/SystemError.hpp"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <stop_token>

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
// A pipe (a FIFO, or /dev/fd/N of standard input or "<(…)") is copied as it comes, up to
// `largestPipedPhoto` bytes. Devices, sockets and folders are refused without a byte read, and
// nothing ever waits on a file: a FIFO that nothing writes to is refused within `writerGrace`.
namespace FileStaging {

// The most bytes a photo may have when read from a pipe: 500 megapixels, the most the
// exporter decodes, at three bytes each, as an uncompressed 8-bit image would take. A writer
// that never ends must not fill the temporary folder, which may well be memory (tmpfs).
inline constexpr int64_t largestPipedPhoto = 1'500'000'000;
// How long a FIFO without a writer is given for one to open it.
inline constexpr std::chrono::milliseconds writerGrace{250};
// Why bytes from a pipe were not taken: more than `largestPipedPhoto` came.
SystemError tooLargeForAPhoto();

enum class Method { hardLink, reflink, reference, copy };

struct Staged {
    Method method = Method::copy;
    // For a reference: the descriptor the staged link reaches through.
    std::shared_ptr<const FileDescriptor> reference;
};

// Stages `source` as `destination`, which must not exist yet. The system's reason when the
// source cannot be read or the destination not be made, or what kind of file it is when
// that is not read. A stop request ends a copy at once; nothing is left at `destination`.
Expected<Staged, SystemError> stage(const std::filesystem::path& source,
                                    const std::filesystem::path& destination,
                                    std::stop_token stop = {});

} // namespace FileStaging

} // namespace plenwick
