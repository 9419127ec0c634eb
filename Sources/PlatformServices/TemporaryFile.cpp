#include "PlatformServices/TemporaryFile.hpp"

#include "PlatformServices/TemporaryFolder.hpp"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <random>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace plenwick {

namespace {

constexpr std::string_view marker = ".plenwick-";
constexpr size_t suffixLength = 6;

bool isTemporaryName(const std::string& name) {
    return name.size() > 1 + marker.size() + suffixLength && name.front() == '.' &&
           std::string_view(name).substr(name.size() - suffixLength - marker.size(),
                                         marker.size()) == marker;
}

} // namespace

Expected<TemporaryFile, SystemError>
TemporaryFile::create(const std::filesystem::path& destination) {
    static constexpr std::string_view letters =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    thread_local std::mt19937_64 random{std::random_device{}()};
    std::uniform_int_distribution<size_t> pick(0, letters.size() - 1);
    // Shortened so that a destination name near the file system's limit still gets one.
    std::string base = destination.filename().string().substr(0, 200);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = "." + base + std::string(marker);
        for (size_t i = 0; i < suffixLength; ++i)
            name += letters[pick(random)];
        std::filesystem::path path = destination.parent_path() / name;
        auto file = FileDescriptor::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (file) {
            ::flock(file.value().get(), LOCK_EX | LOCK_NB);
            return TemporaryFile(std::move(path), destination, std::move(file.value()));
        }
        if (file.error().code != EEXIST)
            return file.error();
    }
    return SystemError::fromErrno({}, EEXIST);
}

size_t TemporaryFile::removeLeftovers(const std::filesystem::path& folder) {
    return TemporaryFolder::removeOldEntries(
        folder, S_IFREG, [](const std::filesystem::path& file) {
            if (!isTemporaryName(file.filename().string()))
                return false;
            auto probe = FileDescriptor::open(file, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
            // Unlinked while still locked, so that no writer can be holding it meanwhile.
            return probe && ::flock(probe.value().get(), LOCK_EX | LOCK_NB) == 0 &&
                   ::unlink(file.c_str()) == 0;
        });
}

TemporaryFile::TemporaryFile(std::filesystem::path path, std::filesystem::path destination,
                             FileDescriptor file)
    : m_path(std::move(path)), m_destination(std::move(destination)), m_file(std::move(file)) {}

TemporaryFile::TemporaryFile(TemporaryFile&& other) noexcept
    : m_path(std::exchange(other.m_path, {})), m_destination(std::move(other.m_destination)),
      m_file(std::move(other.m_file)), m_committed(other.m_committed) {}

TemporaryFile::~TemporaryFile() {
    if (!m_path.empty() && !m_committed)
        ::unlink(m_path.c_str());
}

Expected<void, SystemError> TemporaryFile::writeAll(const char* data, size_t length) {
    auto written = m_file.writeAll(data, length);
    auto closed = m_file.close();
    return written ? closed : written;
}

Expected<void, SystemError> TemporaryFile::commit() {
    if (::rename(m_path.c_str(), m_destination.c_str()) != 0)
        return SystemError::fromErrno();
    m_committed = true;
    return {};
}

} // namespace plenwick
