#pragma once

#include "PlatformServices/Expected.hpp"
#include "PlatformServices/SystemError.hpp"

#include <cstddef>
#include <filesystem>
#include <sys/types.h>
#include <unistd.h>
#include <utility>

namespace plenwick {

// Owns one open file descriptor and closes it when it goes.
class FileDescriptor {
public:
    explicit FileDescriptor(int descriptor = -1) : m_descriptor(descriptor) {}
    ~FileDescriptor() {
        if (m_descriptor >= 0)
            ::close(m_descriptor);
    }
    FileDescriptor(FileDescriptor&& other) noexcept
        : m_descriptor(std::exchange(other.m_descriptor, -1)) {}
    FileDescriptor& operator=(FileDescriptor other) noexcept {
        std::swap(m_descriptor, other.m_descriptor);
        return *this;
    }

    // open(2) with `flags` and, for a file it creates, `mode`; an error names the path.
    static Expected<FileDescriptor, SystemError> open(const std::filesystem::path& path, int flags,
                                                      mode_t mode = 0);

    int get() const { return m_descriptor; }
    explicit operator bool() const { return m_descriptor >= 0; }

    // Writes all of `data`, going on after interruptions and short writes.
    Expected<void, SystemError> writeAll(const char* data, size_t length) const;
    // Closes now; a late write error shows only here.
    Expected<void, SystemError> close();

private:
    int m_descriptor;
};

} // namespace plenwick
