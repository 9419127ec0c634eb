#include "PlatformServices/FileStaging.hpp"

#include <cerrno>
#include <fcntl.h>
#include <linux/fs.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
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

// Why a file of this kind is not read, if it is not.
std::optional<SystemError> refusal(mode_t mode) {
    if (S_ISREG(mode) || S_ISFIFO(mode))
        return std::nullopt;
    if (S_ISDIR(mode))
        return SystemError::fromErrno({}, EISDIR);
    if (S_ISCHR(mode))
        return SystemError{"a character device, not a file", ENODEV};
    if (S_ISBLK(mode))
        return SystemError{"a block device, not a file", ENODEV};
    if (S_ISSOCK(mode))
        return SystemError{"a socket, not a file", ENODEV};
    return SystemError{"not a file", ENODEV};
}

SystemError stopped() {
    return SystemError::fromErrno({}, ECANCELED);
}

// Copies what is left of a regular file.
Expected<void, SystemError> copyFile(const FileDescriptor& input, const FileDescriptor& output,
                                     const std::stop_token& stop) {
    char buffer[1 << 16];
    while (!stop.stop_requested()) {
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
    return stopped();
}

// Copies a pipe opened with O_NONBLOCK until its writer closes it. Every wait is a poll that a
// stop request ends too, so neither a writer that says nothing nor one that never ends holds
// the copy longer than the stop or the bound.
Expected<void, SystemError> copyPipe(const FileDescriptor& input, const FileDescriptor& output,
                                     const std::stop_token& stop) {
    FileDescriptor stopEvent(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!stopEvent)
        return SystemError::fromErrno("cannot make an event descriptor");
    std::stop_callback onStop(stop, [event = stopEvent.get()] {
        uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(event, &one, sizeof one);
    });

    // A FIFO that no program holds open for writing reads as ended at once, and poll does not
    // wake for it until a writer has come; a writer that starts just now gets a moment.
    const auto writerDeadline = std::chrono::steady_clock::now() + FileStaging::writerGrace;
    bool writerSeen = false;
    int64_t total = 0;
    char buffer[1 << 16];
    for (;;) {
        if (stop.stop_requested())
            return stopped();
        ssize_t count = ::read(input.get(), buffer, sizeof buffer);
        if (count > 0) {
            writerSeen = true;
            total += count;
            if (total > FileStaging::largestPipedPhoto)
                return FileStaging::tooLargeForAPhoto();
            if (auto written = output.writeAll(buffer, static_cast<size_t>(count)); !written)
                return written;
            continue;
        }
        if (count == 0 && writerSeen)
            return {};
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && errno != EAGAIN)
            return SystemError::fromErrno();
        // EAGAIN: a writer holds the pipe open and has nothing for us yet.
        if (count < 0)
            writerSeen = true;

        int timeout = -1;
        if (!writerSeen) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(
                writerDeadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return SystemError{"a pipe that nothing writes to", ENXIO};
            timeout = static_cast<int>(left.count());
        }
        pollfd waits[2] = {{input.get(), POLLIN, 0}, {stopEvent.get(), POLLIN, 0}};
        int ready = ::poll(waits, 2, timeout);
        if (ready < 0 && errno != EINTR)
            return SystemError::fromErrno();
        // Bytes, or a writer that came and has gone again.
        if (ready > 0 && waits[0].revents != 0)
            writerSeen = true;
    }
}

// The callers of stage name the source and the destination in their own words: its errors stay
// the system's reason alone.
Expected<FileDescriptor, SystemError> openFile(const std::filesystem::path& path, int flags,
                                               mode_t mode = 0) {
    auto opened = FileDescriptor::open(path, flags, mode);
    if (!opened)
        return SystemError::fromErrno({}, opened.error().code);
    return opened;
}

} // namespace

SystemError FileStaging::tooLargeForAPhoto() {
    return {"larger than any photo: more than " + std::to_string(largestPipedPhoto) + " bytes",
            EFBIG};
}

Expected<FileStaging::Staged, SystemError>
FileStaging::stage(const std::filesystem::path& source, const std::filesystem::path& destination,
                   std::stop_token stop) {
    // What the file is, before it is opened: opening a device may already do something (rewind
    // a tape, wake a camera), and opening a FIFO lets a writer go on.
    FileDescriptor located = PLENWICK_TRY(openFile(source, O_PATH | O_CLOEXEC));
    struct stat status {};
    if (::fstat(located.get(), &status) != 0)
        return SystemError::fromErrno();
    if (auto refused = refusal(status.st_mode))
        return *refused;
    // Without waiting for a FIFO's writer; and the file opened is the one judged, whatever was
    // put at its name meanwhile.
    FileDescriptor input = PLENWICK_TRY(openFile(source, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (::fstat(input.get(), &status) != 0)
        return SystemError::fromErrno();
    if (auto refused = refusal(status.st_mode))
        return *refused;
    const bool regular = S_ISREG(status.st_mode);

    // Only regular files are linked or referred to: a pipe is read now, once.
    if (regular) {
        // Through the descriptor, so that the file linked is the one opened, whatever happened
        // to its name since.
        if (::linkat(AT_FDCWD, descriptorPath(input.get()).c_str(), AT_FDCWD, destination.c_str(),
                     AT_SYMLINK_FOLLOW) == 0)
            return Staged{Method::hardLink, nullptr};
        if (errno == EEXIST)
            return SystemError::fromErrno();
    }

    FileDescriptor output =
        PLENWICK_TRY(openFile(destination, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (regular) {
        if (::ioctl(output.get(), FICLONE, input.get()) == 0 && output.close())
            return Staged{Method::reflink, nullptr};
        // Without /proc there is nothing a link could reach the descriptor through.
        if (::access(descriptorPath(input.get()).c_str(), F_OK) == 0 && mayKeep(input.get())) {
            // The copy is unlinked at once, so how its close went tells nothing.
            static_cast<void>(output.close());
            ::unlink(destination.c_str());
            if (::symlink(descriptorPath(input.get()).c_str(), destination.c_str()) != 0)
                return SystemError::fromErrno();
            return Staged{Method::reference,
                          std::make_shared<const FileDescriptor>(std::move(input))};
        }
    }
    auto copied = regular ? copyFile(input, output, stop) : copyPipe(input, output, stop);
    auto closed = output.close();
    if (copied && closed)
        return Staged{Method::copy, nullptr};
    ::unlink(destination.c_str());
    return copied ? closed.error() : copied.error();
}

} // namespace plenwick
