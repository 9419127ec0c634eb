#include "PlatformServices/TemporaryFolder.hpp"

#include "PlatformServices/Uuid.hpp"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace plenwick {

namespace {

constexpr std::string_view sharePrefix = "plenwick-";
constexpr std::string_view standardInputPrefix = "plenwick-stdin-";
// What mkdtemp puts in place of its six X.
constexpr std::string_view uniqueSuffixLetters =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
constexpr size_t uniqueSuffixLength = 6;

struct CloseDirectory {
    void operator()(DIR* directory) const { ::closedir(directory); }
};
using Directory = std::unique_ptr<DIR, CloseDirectory>;

// `name` in `parent` opened to read its entries; `flags` adds to how it is opened.
Directory openDirectory(int parent, const char* name, int flags) {
    int descriptor = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | flags);
    if (descriptor < 0)
        return nullptr;
    DIR* directory = ::fdopendir(descriptor);
    if (!directory)
        ::close(descriptor);
    return Directory(directory);
}

bool isStagingName(std::string_view name) {
    if (name.starts_with(standardInputPrefix)) {
        std::string_view suffix = name.substr(standardInputPrefix.size());
        return suffix.size() == uniqueSuffixLength &&
               suffix.find_first_not_of(uniqueSuffixLetters) == std::string_view::npos;
    }
    return name.starts_with(sharePrefix) && Uuid::isRandom(name.substr(sharePrefix.size()));
}

// Creates the mark, locks it and only then writes its text, so that a mark with the text is
// always one whose lock tells whether its share lives. A mark without its whole text is never
// taken for a dead share's.
FileDescriptor makeMark(const std::filesystem::path& folder) {
    auto created = FileDescriptor::open(folder / std::string(TemporaryFolder::markName),
                                        O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (!created || ::flock(created.value().get(), LOCK_EX) != 0)
        return FileDescriptor();
    FileDescriptor mark = std::move(created.value());
    // A mark left short is held by its lock while the share lives and is never taken for a dead
    // share's after: the folder still serves this share, so a failed write does not fail it.
    static_cast<void>(
        mark.writeAll(TemporaryFolder::markText.data(), TemporaryFolder::markText.size()));
    return mark;
}

// The mark in the folder `folder` opens, locked by us, when it is a share's mark whose lock no
// live process held; else nothing.
FileDescriptor lockDeadMark(int folder) {
    FileDescriptor mark(::openat(folder, std::string(TemporaryFolder::markName).c_str(),
                                 O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat folderStatus {};
    struct stat status {};
    if (!mark || ::fstat(folder, &folderStatus) != 0 || ::fstat(mark.get(), &status) != 0 ||
        !S_ISREG(status.st_mode) || status.st_uid != ::geteuid() ||
        status.st_dev != folderStatus.st_dev ||
        status.st_size != static_cast<off_t>(TemporaryFolder::markText.size()) ||
        ::flock(mark.get(), LOCK_EX | LOCK_NB) != 0)
        return FileDescriptor();
    // The text is read under the lock: a share writes it only once it holds the lock.
    std::string text(TemporaryFolder::markText.size() + 1, '\0');
    ssize_t read = ::pread(mark.get(), text.data(), text.size(), 0);
    if (std::string_view(text.data(), read > 0 ? static_cast<size_t>(read) : 0) !=
        TemporaryFolder::markText)
        return FileDescriptor();
    return mark;
}

// Removes what the folder `folder` opens holds, never following a link nor going into another
// file system than `device`; true when nothing is left.
bool removeContents(int folder, dev_t device) {
    Directory entries = openDirectory(folder, ".", 0);
    if (!entries)
        return false;
    const int descriptor = ::dirfd(entries.get());
    bool emptied = true;
    while (const dirent* entry = ::readdir(entries.get())) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat status {};
        if (::fstatat(descriptor, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
            emptied = false;
        } else if (!S_ISDIR(status.st_mode)) {
            emptied = ::unlinkat(descriptor, entry->d_name, 0) == 0 && emptied;
        } else {
            FileDescriptor inner(::openat(descriptor, entry->d_name,
                                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            struct stat innerStatus {};
            emptied = inner && ::fstat(inner.get(), &innerStatus) == 0 &&
                      innerStatus.st_dev == device && removeContents(inner.get(), device) &&
                      ::unlinkat(descriptor, entry->d_name, AT_REMOVEDIR) == 0 && emptied;
        }
    }
    return emptied;
}

} // namespace

Expected<std::filesystem::path, SystemError> TemporaryFolder::systemFolder() {
    const char* variable = std::getenv("TMPDIR");
    std::filesystem::path folder = variable && *variable ? variable : "/tmp";
    struct stat status {};
    if (::stat(folder.c_str(), &status) != 0)
        return SystemError::fromErrno("the temporary folder " + folder.string());
    if (!S_ISDIR(status.st_mode))
        return SystemError{"the temporary folder " + folder.string() + " is not a folder", ENOTDIR};
    return folder;
}

Expected<TemporaryFolder, SystemError> TemporaryFolder::create(const std::filesystem::path& parent,
                                                               std::string_view name) {
    std::string path = (parent / std::string(name)).string();
    if (name.ends_with("XXXXXX")) {
        if (!::mkdtemp(path.data()))
            return SystemError::fromErrno("cannot create a folder in " + parent.string());
    } else if (::mkdir(path.c_str(), 0700) != 0) {
        return SystemError::fromErrno("cannot create " + path);
    }
    return TemporaryFolder(path, FileDescriptor());
}

Expected<TemporaryFolder, SystemError> TemporaryFolder::create(std::string_view name) {
    return create(PLENWICK_TRY(systemFolder()), name);
}

Expected<TemporaryFolder, SystemError>
TemporaryFolder::createStaging(const std::filesystem::path& parent, Staging kind) {
    std::string name;
    if (kind == Staging::share) {
        auto uuid = Uuid::random();
        if (!uuid)
            return uuid.error().prefixed("no name for a folder in " + parent.string());
        name = std::string(sharePrefix) + uuid.value();
    } else {
        name = std::string(standardInputPrefix) + std::string(uniqueSuffixLength, 'X');
    }
    TemporaryFolder folder = PLENWICK_TRY(create(parent, name));
    folder.m_mark = makeMark(folder.path());
    return folder;
}

size_t TemporaryFolder::removeOldEntries(
    const std::filesystem::path& parent, unsigned type,
    const std::function<bool(std::string_view name)>& recognized,
    const std::function<bool(int parent, const std::string& name, int entry)>& remove) {
    Directory folder = openDirectory(AT_FDCWD, parent.c_str(), 0);
    struct stat own {};
    if (!folder || ::fstat(::dirfd(folder.get()), &own) != 0)
        return 0;
    const int descriptor = ::dirfd(folder.get());
    const std::time_t oldest = std::time(nullptr) - leftoverAge.count();
    auto leftOver = [&](const struct stat& status) {
        return (status.st_mode & S_IFMT) == type && status.st_uid == ::geteuid() &&
               status.st_dev == own.st_dev && status.st_mtime <= oldest;
    };
    const int openFlags =
        O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (type == S_IFDIR ? O_DIRECTORY : 0);
    size_t removed = 0;
    while (const dirent* entry = ::readdir(folder.get())) {
        const std::string name = entry->d_name;
        struct stat status {};
        if (!recognized(name) ||
            ::fstatat(descriptor, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
            !leftOver(status))
            continue;
        // What was opened must be what was looked at: the name may have changed hands since.
        FileDescriptor opened(::openat(descriptor, name.c_str(), openFlags));
        struct stat checked {};
        if (!opened || ::fstat(opened.get(), &checked) != 0 || checked.st_ino != status.st_ino ||
            !leftOver(checked))
            continue;
        if (remove(descriptor, name, opened.get()))
            ++removed;
    }
    return removed;
}

size_t TemporaryFolder::removeLeftovers(const std::filesystem::path& parent) {
    return removeOldEntries(
        parent, S_IFDIR, isStagingName, [](int parent, const std::string& name, int folder) {
            // Locked until the folder is gone, so that no other share removes it meanwhile.
            FileDescriptor mark = lockDeadMark(folder);
            struct stat status {};
            return mark && ::fstat(folder, &status) == 0 && removeContents(folder, status.st_dev) &&
                   ::unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0;
        });
}

TemporaryFolder::TemporaryFolder(std::filesystem::path path, FileDescriptor mark)
    : m_path(std::move(path)), m_mark(std::move(mark)) {}

TemporaryFolder::TemporaryFolder(TemporaryFolder&& other) noexcept
    : m_path(std::exchange(other.m_path, {})), m_mark(std::move(other.m_mark)) {}

TemporaryFolder& TemporaryFolder::operator=(TemporaryFolder&& other) noexcept {
    if (this != &other) {
        remove();
        m_path = std::exchange(other.m_path, {});
        m_mark = std::move(other.m_mark);
    }
    return *this;
}

TemporaryFolder::~TemporaryFolder() {
    remove();
}

void TemporaryFolder::remove() {
    if (m_path.empty())
        return;
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
    // Unlocked only once it is gone, so that no one else removes it under us. Closing a mark
    // nothing more is written to can lose nothing.
    static_cast<void>(m_mark.close());
    m_path.clear();
}

} // namespace plenwick
