#pragma once

#include "PlatformServices/Expected.hpp"
#include "PlatformServices/FileDescriptor.hpp"
#include "PlatformServices/SystemError.hpp"

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace plenwick {

// A private folder (mode 0700) that is removed with everything in it when its owner goes.
// Nothing here throws: failures come back with the system's reason.
//
// The folders a share stages in are told from every other folder by their name's form and by a
// mark inside: a file that holds markText and that the share keeps an flock on while it lives.
// The kernel drops that lock when the process dies, so the folders of dead shares can be told
// from those still in use, and removed.
class TemporaryFolder {
public:
    // The kinds of staging folder, each with a name of its own form.
    enum class Staging {
        // "plenwick-" and a UUID as Uuid::random() gives it, for the photos of one share.
        share,
        // "plenwick-stdin-" and the six letters or digits mkdtemp gives, for standard input.
        standardInput,
    };

    static constexpr std::string_view markName = ".plenwick-share.lock";
    static constexpr std::string_view markText =
        "plenwick-share staging folder, in use while this file is locked\n";
    // How old an unlocked staging folder must be to count as left over: one that was made a
    // moment ago may not hold its mark yet.
    static constexpr std::chrono::seconds leftoverAge{60};

    // The folder for temporary files: $TMPDIR when set and not empty, else /tmp; an error when
    // that is no folder.
    static Expected<std::filesystem::path, SystemError> systemFolder();

    // Makes the folder `name` in `parent`; six trailing X in `name` become a unique suffix.
    static Expected<TemporaryFolder, SystemError> create(const std::filesystem::path& parent,
                                                         std::string_view name);
    // The same in the system folder.
    static Expected<TemporaryFolder, SystemError> create(std::string_view name);
    // A staging folder of `kind` in `parent`, with its mark made and locked. A mark that cannot
    // be written (a full disk) leaves the folder usable, but never to be taken for a leftover.
    static Expected<TemporaryFolder, SystemError> createStaging(const std::filesystem::path& parent,
                                                                Staging kind);

    // Removes the staging folders that dead shares left in `parent`: those whose name has a
    // staging folder's form, that belong to this user, lie on the file system of `parent`, are
    // older than leftoverAge and hold a mark that is a regular file of this user with the mark's
    // text, whose lock nobody holds. No link is followed and no other file system entered.
    // Returns how many went.
    static size_t removeLeftovers(const std::filesystem::path& parent);

    // The scan that leftover removal of folders and of files share. For each entry of `parent`
    // whose whole name `recognized` accepts, and that is of file type `type` (S_IFDIR,
    // S_IFREG), belongs to this user, lies on the file system of `parent` and is older than
    // leftoverAge, calls `remove` with `parent` opened, the entry's name and the entry opened
    // without following a link and checked once more on the opened descriptor. Nothing is
    // opened before its name is recognized. Returns for how many `remove` answered that the
    // entry went.
    static size_t removeOldEntries(
        const std::filesystem::path& parent, unsigned type,
        const std::function<bool(std::string_view name)>& recognized,
        const std::function<bool(int parent, const std::string& name, int entry)>& remove);

    TemporaryFolder(TemporaryFolder&& other) noexcept;
    TemporaryFolder& operator=(TemporaryFolder&& other) noexcept;
    ~TemporaryFolder();

    const std::filesystem::path& path() const { return m_path; }

private:
    TemporaryFolder(std::filesystem::path path, FileDescriptor mark);
    void remove();

    std::filesystem::path m_path;
    // A staging folder's mark, opened and flocked.
    FileDescriptor m_mark;
};

} // namespace plenwick
