#pragma once

#include "PlatformServices/Expected.hpp"
#include "PlatformServices/FileDescriptor.hpp"
#include "PlatformServices/SystemError.hpp"

#include <filesystem>
#include <string_view>

namespace plenwick {

// A hidden file beside a destination, written and then renamed into place, so that the file at
// the destination is always whole: the earlier one stays until the new one is complete, and a
// failed or interrupted write leaves nothing at the destination. It is removed unless it was
// renamed. While it is open its writer holds an flock on it, so that leftovers of dead processes
// can be told from files still being written. Nothing here throws.
class TemporaryFile {
public:
    // Creates ".<destination's name>.plenwick-XXXXXX" in the destination's folder (the name
    // cut to its first 200 bytes), mode 0666 less the umask, as for any file the user's
    // programs create.
    static Expected<TemporaryFile, SystemError> create(const std::filesystem::path& destination);

    // Removes the temporary files in `folder` that were made for destinations whose names end in
    // `extension`: regular files whose whole name has the form create() gives, of this user,
    // older than TemporaryFolder's leftover age and whose lock nobody holds. Nothing else is
    // opened. Returns how many went.
    static size_t removeLeftovers(const std::filesystem::path& folder, std::string_view extension);

    TemporaryFile(TemporaryFile&& other) noexcept;
    TemporaryFile& operator=(TemporaryFile&&) = delete;
    ~TemporaryFile();

    const std::filesystem::path& path() const { return m_path; }

    // Writes all of `data` and closes the file.
    Expected<void, SystemError> writeAll(const char* data, size_t length);
    // Renames the file to the destination.
    Expected<void, SystemError> commit();

private:
    TemporaryFile(std::filesystem::path path, std::filesystem::path destination,
                  FileDescriptor file);

    std::filesystem::path m_path;
    std::filesystem::path m_destination;
    FileDescriptor m_file;
    bool m_committed = false;
};

} // namespace plenwick
