#include "PlatformServices/TemporaryFolder.hpp"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace plenwick {

namespace {

// The folder opened for its lock; a failure to lock is no reason to give up the folder.
FileDescriptor lockFolder(const std::filesystem::path& folder) {
    auto descriptor = FileDescriptor::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (!descriptor)
        return FileDescriptor();
    ::flock(descriptor.value().get(), LOCK_EX | LOCK_NB);
    return std::move(descriptor.value());
}

// Whether a process holds the folder's lock. A folder we cannot open or lock (a file system
// without flock, say) counts as in use: we never remove what might be.
bool inUse(const std::filesystem::path& folder) {
    auto descriptor = FileDescriptor::open(folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    return !descriptor || ::flock(descriptor.value().get(), LOCK_EX | LOCK_NB) != 0;
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
    return TemporaryFolder(path, lockFolder(path));
}

Expected<TemporaryFolder, SystemError> TemporaryFolder::create(std::string_view name) {
    auto parent = systemFolder();
    if (!parent)
        return parent.error();
    return create(parent.value(), name);
}

size_t
TemporaryFolder::removeOldEntries(const std::filesystem::path& parent, unsigned type,
                                  const std::function<bool(const std::filesystem::path&)>& remove) {
    std::error_code error;
    std::filesystem::directory_iterator entries(parent, error);
    if (error)
        return 0;
    const std::time_t oldest = std::time(nullptr) - leftoverAge.count();
    size_t removed = 0;
    for (; entries != std::filesystem::directory_iterator(); entries.increment(error)) {
        if (error)
            break;
        const std::filesystem::path& entry = entries->path();
        struct stat status {};
        if (::lstat(entry.c_str(), &status) != 0 || (status.st_mode & S_IFMT) != type ||
            status.st_uid != ::geteuid() || status.st_mtime > oldest)
            continue;
        if (remove(entry))
            ++removed;
    }
    return removed;
}

size_t TemporaryFolder::removeLeftovers(const std::filesystem::path& parent) {
    return removeOldEntries(parent, S_IFDIR, [](const std::filesystem::path& folder) {
        if (!folder.filename().string().starts_with(leftoverPrefix) || inUse(folder))
            return false;
        std::error_code ignored;
        return std::filesystem::remove_all(folder, ignored) != static_cast<std::uintmax_t>(-1);
    });
}

TemporaryFolder::TemporaryFolder(std::filesystem::path path, FileDescriptor lock)
    : m_path(std::move(path)), m_lock(std::move(lock)) {}

TemporaryFolder::TemporaryFolder(TemporaryFolder&& other) noexcept
    : m_path(std::exchange(other.m_path, {})), m_lock(std::move(other.m_lock)) {}

TemporaryFolder& TemporaryFolder::operator=(TemporaryFolder&& other) noexcept {
    if (this != &other) {
        remove();
        m_path = std::exchange(other.m_path, {});
        m_lock = std::move(other.m_lock);
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
    // Unlocked only once it is gone, so that no one else removes it under us.
    m_lock.close();
    m_path.clear();
}

} // namespace plenwick
