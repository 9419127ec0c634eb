#include "ScopedMount.hpp"

#include "PlatformServices/FileDescriptor.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/loop.h>
#include <stdexcept>
#include <string>
#include <sys/ioctl.h>
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

ScopedMount ScopedMount::image(const std::filesystem::path& image,
                               const std::filesystem::path& folder, const char* type) {
    FileDescriptor control(::open("/dev/loop-control", O_RDWR | O_CLOEXEC));
    FileDescriptor backing(::open(image.c_str(), O_RDWR | O_CLOEXEC));
    if (!control || !backing)
        throw failure("cannot open a loop device for " + image.string());
    loop_config config{};
    config.fd = static_cast<uint32_t>(backing.get());
    // The device lets go of the image when the last mount of it goes.
    config.info.lo_flags = LO_FLAGS_AUTOCLEAR;
    // Another test may take the same free device first; the next one is asked for then.
    for (int attempt = 0; attempt < 20; ++attempt) {
        int number = ::ioctl(control.get(), LOOP_CTL_GET_FREE);
        if (number < 0)
            throw failure("no free loop device");
        const std::string device = "/dev/loop" + std::to_string(number);
        FileDescriptor loop(::open(device.c_str(), O_RDWR | O_CLOEXEC));
        if (!loop)
            throw failure("cannot open " + device);
        if (::ioctl(loop.get(), LOOP_CONFIGURE, &config) != 0) {
            if (errno == EBUSY)
                continue;
            throw failure("cannot attach " + image.string() + " to " + device);
        }
        if (::mount(device.c_str(), folder.c_str(), type, MS_NOSUID | MS_NODEV, nullptr) != 0)
            throw failure("cannot mount " + image.string() + " at " + folder.string());
        return ScopedMount(folder);
    }
    throw failure("every free loop device was taken meanwhile");
}

ScopedMount ScopedMount::bind(const std::filesystem::path& from,
                              const std::filesystem::path& folder) {
    if (::mount(from.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0)
        throw failure("cannot bind " + from.string() + " at " + folder.string());
    return ScopedMount(folder);
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
