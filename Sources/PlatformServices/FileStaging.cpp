#include "PlatformServices/FileStaging.hpp"

#include <cerrno>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plenwick {

namespace {

// Descriptors left free for what the share opens besides its references: the decoders of three
// concurrent exports, the bus, the log.
constexpr rlim_t spareDescriptors = 256;

std::string descriptorPath(int descriptor) {
    return "/proc/self/fd/" + std::to_string(descriptor);
}

// Whether one more descriptor may be kept open for the rest of the share. A share of thousands
// of photos needs more than the usual soft limit of 1024, so that limit is raised to the hard
// one first.
bool mayKeep(int descriptor) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return false;
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < limit.rlim_max &&
        static_cast<rlim_t>(descriptor) + spareDescriptors >= limit.rlim_cur) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    return limit.rlim_cur == RLIM_INFINITY ||
           static_cast<rlim_t>(descriptor) + spareDescriptors < limit.rlim_cur;
}

// Copies what is left of `input` into `output`.
Expected<void, SystemError> copyBytes(const FileDescriptor& input, const FileDescriptor& output) {
    char buffer[1 << 16];
    for (;;) {
        ssize_t count = ::read(input.get(), buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return SystemError::fromErrno();
        if (count == 0)
            return {};
        if (auto written = output.writeAll(buffer, static_cast<size_t>(count)); !written)
            return written;
    }
}

} // namespace

Expected<FileStaging::Staged, SystemError>
FileStaging::stage(const std::filesystem::path& source, const std::filesystem::path& destination) {
    auto opened = FileDescriptor::open(source, O_RDONLY | O_CLOEXEC);
    if (!opened)
        return opened.error();
    FileDescriptor input = std::move(opened.value());
    struct stat status {};
    if (::fstat(input.get(), &status) != 0)
        return SystemError::fromErrno();
    if (S_ISDIR(status.st_mode))
        return SystemError::fromErrno({}, EISDIR);
    // Only regular files are linked or referred to: a pipe or a device is read now, once.
    if (S_ISREG(status.st_mode)) {
        // Through the descriptor, so that the file linked is the one opened, whatever happened
        // to its name since.
        if (::linkat(AT_FDCWD, descriptorPath(input.get()).c_str(), AT_FDCWD, destination.c_str(),
                     AT_SYMLINK_FOLLOW) == 0)
            return Staged{Method::hardLink, nullptr};
        if (errno == EEXIST)
            return SystemError::fromErrno();
    }

    auto created = FileDescriptor::open(destination, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (!created)
        return created.error();
    FileDescriptor output = std::move(created.value());
    if (S_ISREG(status.st_mode)) {
        if (::ioctl(output.get(), FICLONE, input.get()) == 0 && output.close())
            return Staged{Method::reflink, nullptr};
        // Without /proc there is nothing a link could reach the descriptor through.
        if (::access(descriptorPath(input.get()).c_str(), F_OK) == 0 && mayKeep(input.get())) {
            output.close();
            ::unlink(destination.c_str());
            if (::symlink(descriptorPath(input.get()).c_str(), destination.c_str()) != 0)
                return SystemError::fromErrno();
            return Staged{Method::reference,
                          std::make_shared<const FileDescriptor>(std::move(input))};
        }
    }
    auto copied = copyBytes(input, output);
    auto closed = output.close();
    if (copied && closed)
        return Staged{Method::copy, nullptr};
    ::unlink(destination.c_str());
    return copied ? closed.error() : copied.error();
}

} // namespace plenwick
