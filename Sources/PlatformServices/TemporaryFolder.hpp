#pragma once

#include "PlatformServices/Expected.hpp"
#include "PlatformServices/FileDescriptor.hpp"
#include "PlatformServices/SystemError.hpp"

#include <chrono>
#include <filesystem>
#include <functional>
#include <string_view>

namespace plenwick {

// A private folder (mode 0700) that is removed with everything in it when its owner goes. The
// owner holds an flock on the folder while it lives, and the kernel drops that lock when the
// process dies, so the folders of dead processes can be told from those still in use. Nothing
// here throws: failures come back with the system's reason.
class TemporaryFolder {
public:
    // What folders are taken for by leftover removal.
    static constexpr std::string_view leftoverPrefix = "plenwick-";
    // How old an unlocked folder must be to count as left over: one that was made a moment ago
    // may not have taken its lock yet.
    static constexpr std::chrono::seconds leftoverAge{60};

    // The folder for temporary files: $TMPDIR when set and not empty, else /tmp; an error when
    // that is no folder.
    static Expected<std::filesystem::path, SystemError> systemFolder();

    // Makes the folder `name` in `parent`; six trailing X in `name` become a unique suffix.
    static Expected<TemporaryFolder, SystemError> create(const std::filesystem::path& parent,
                                                         std::string_view name);
    // The same in the system folder.
    static Expected<TemporaryFolder, SystemError> create(std::string_view name);

    // Removes the folders in `parent` named leftoverPrefix… that belong to this user, are older
    // than leftoverAge and whose lock nobody holds. Returns how many went.
    static size_t removeLeftovers(const std::filesystem::path& parent);

    // The scan that leftover removal of folders and of files share: calls `remove` for each
    // entry of `parent` of file type `type` (S_IFDIR, S_IFREG) that belongs to this user and is
    // older than leftoverAge, and returns for how many it answered that the entry went.
    static size_t removeOldEntries(const std::filesystem::path& parent, unsigned type,
                                   const std::function<bool(const std::filesystem::path&)>& remove);

    TemporaryFolder(TemporaryFolder&& other) noexcept;
    TemporaryFolder& operator=(TemporaryFolder&& other) noexcept;
    ~TemporaryFolder();

    const std::filesystem::path& path() const { return m_path; }

private:
    TemporaryFolder(std::filesystem::path path, FileDescriptor lock);
    void remove();

    std::filesystem::path m_path;
    // The folder itself, opened and flocked.
    FileDescriptor m_lock;
};

} // namespace plenwick
