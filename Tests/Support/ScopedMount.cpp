#include "ScopedMount.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <string>
#include <sys/mount.h>
#include <unistd.h>
#include <utility>

namespace plenwick::test {

namespace {

std::runtime_error failure(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno) +
                              " (the fault tests mount file systems and need root)");
}

} // namespace

ScopedMount ScopedMount::tmpfs(const std::filesystem::path& folder, uint64_t bytes) {
    std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
    if (::mount("tmpfs", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0)
        throw failure("cannot mount a tmpfs at " + folder.string());
    return ScopedMount(folder);
}

ScopedMount ScopedMount::readOnly(const std::filesystem::path& folder) {
    if (::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0)
        throw failure("cannot bind " + folder.string());
    ScopedMount mount(folder);
    if (::mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
        throw failure("cannot make " + folder.string() + " read-only");
    return mount;
}

ScopedMount::ScopedMount(ScopedMount&& other) noexcept
    : m_folder(std::exchange(other.m_folder, {})) {}

ScopedMount::~ScopedMount() {
    if (!m_folder.empty())
        ::umount2(m_folder.c_str(), MNT_DETACH);
}

void fill(const std::filesystem::path& folder) {
    int descriptor =
        ::open((folder / "filler").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (descriptor < 0)
        throw failure("cannot fill " + folder.string());
    static const std::string block(4096, 'f');
    // Byte by byte at the end, so that the last partly used page is full too.
    while (::write(descriptor, block.data(), block.size()) > 0) {
    }
    while (::write(descriptor, block.data(), 1) > 0) {
    }
    ::close(descriptor);
}

} // namespace plenwick::test
