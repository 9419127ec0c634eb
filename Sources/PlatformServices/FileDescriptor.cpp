#include "PlatformServices/FileDescriptor.hpp"

#include <cerrno>

namespace plenwick {

bool FileDescriptor::writeAll(const char* data, size_t length) const {
    while (length > 0) {
        ssize_t written = ::write(m_descriptor, data, length);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

bool FileDescriptor::close() {
    int descriptor = std::exchange(m_descriptor, -1);
    return descriptor < 0 || ::close(descriptor) == 0;
}

} // namespace plenwick
