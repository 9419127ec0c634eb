#include "PlatformServices/TemporaryFolder.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace plenwick {

namespace {

std::string systemError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// The folder opened for its lock; a failure to lock is no reason to give up the folder.
FileDescriptor lockFolder(const std::filesystem::path& folder) {
    FileDescriptor descriptor(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (descriptor)
        ::flock(descriptor.get(), LOCK_EX | LOCK_NB);
    return descriptor;
}

// Whether a process holds the folder's lock. A folder we cannot open or lock (a file system
// without flock, say) counts as in use: we never remove what might be.
bool inUse(const std::filesystem::path& folder) {
    FileDescriptor descriptor(
        ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!descriptor)
        return true;
    return ::flock(descriptor.get(), LOCK_EX | LOCK_NB) != 0;
}

} // namespace

std::optional<std::filesystem::path> TemporaryFolder::systemFolder(std::string& failure) {
    const char* variable = std::getenv("TMPDIR");
    std::filesystem::path folder = variable && *variable ? variable : "/tmp";
    struct stat status {};
    if (::stat(folder.c_str(), &status) != 0) {
        failure = systemError("the temporary folder " + folder.string());
        return std::nullopt;
    }
    if (!S_ISDIR(status.st_mode)) {
        failure = "the temporary folder " + folder.string() + " is not a folder";
        return std::nullopt;
    }
    return folder;
}

std::optional<TemporaryFolder> TemporaryFolder::create(const std::filesystem::path& parent,
                                                       std::string_view name,
                                                       std::string& failure) {
    std::string path = (parent / std::string(name)).string();
    if (name.ends_with("XXXXXX")) {
        if (!::mkdtemp(path.data())) {
            failure = systemError("cannot create a folder in " + parent.string());
            return std::nullopt;
        }
    } else if (::mkdir(path.c_str(), 0700) != 0) {
        failure = systemError("cannot create " + path);
        return std::nullopt;
    }
    return TemporaryFolder(path, lockFolder(path));
}

std::optional<TemporaryFolder> TemporaryFolder::create(std::string_view name,
                                                       std::string& failure) {
    auto parent = systemFolder(failure);
    if (!parent)
        return std::nullopt;
    return create(*parent, name, failure);
}

size_t TemporaryFolder::removeLeftovers(const std::filesystem::path& parent) {
    std::error_code error;
    std::filesystem::directory_iterator entries(parent, error);
    if (error)
        return 0;
    const std::time_t oldest = std::time(nullptr) - leftoverAge.count();
    size_t removed = 0;
    for (; entries != std::filesystem::directory_iterator(); entries.increment(error)) {
        if (error)
            break;
        const std::filesystem::path& folder = entries->path();
        struct stat status {};
        if (!folder.filename().string().starts_with(leftoverPrefix) ||
            ::lstat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) ||
            status.st_uid != ::geteuid() || status.st_mtime > oldest || inUse(folder))
            continue;
        std::error_code ignored;
        if (std::filesystem::remove_all(folder, ignored) != static_cast<std::uintmax_t>(-1))
            ++removed;
    }
    return removed;
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
