#include "PlatformServices/FileDescriptor.hpp"

#include <cerrno>
#include <fcntl.h>

namespace plenwick {

Expected<FileDescriptor, SystemError> FileDescriptor::open(const std::filesystem::path& path,
                                                           int flags, mode_t mode) {
    FileDescriptor file(::open(path.c_str(), flags, mode));
    if (!file)
        return SystemError::fromErrno(path.string());
    return file;
}

Expected<void, SystemError> FileDescriptor::writeAll(const char* data, size_t length) const {
    while (length > 0) {
        ssize_t written = ::write(m_descriptor, data, length);
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0)
            return SystemError::fromErrno();
        // write(2) gives 0 only where no byte fits.
        if (written == 0)
            return SystemError::fromErrno({}, ENOSPC);
        data += written;
        length -= static_cast<size_t>(written);
    }
    return {};
}

Expected<void, SystemError> FileDescriptor::close() {
    int descriptor = std::exchange(m_descriptor, -1);
    if (descriptor >= 0 && ::close(descriptor) != 0)
        return SystemError::fromErrno();
    return {};
}

} // namespace plenwick
