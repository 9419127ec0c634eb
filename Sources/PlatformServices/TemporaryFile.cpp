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
constexpr std::string_view suffixLetters =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
constexpr size_t suffixLength = 6;
// The longest part of the destination's name that goes into the temporary's, so that a name
// near the file system's limit still gets one.
constexpr size_t baseLength = 200;

// Whether all of `name` is what create() gives a destination whose name ends in `extension`:
// "." and that name (or its first baseLength bytes), the marker and the suffix.
bool isTemporaryName(std::string_view name, std::string_view extension) {
    if (name.size() <= 1 + marker.size() + suffixLength || !name.starts_with('.'))
        return false;
    std::string_view base = name.substr(1, name.size() - 1 - marker.size() - suffixLength);
    std::string_view rest = name.substr(1 + base.size());
    return rest.starts_with(marker) &&
           rest.substr(marker.size()).find_first_not_of(suffixLetters) == std::string_view::npos &&
           (base.size() == baseLength || (base.size() < baseLength && base.ends_with(extension)));
}

} // namespace

Expected<TemporaryFile, SystemError>
TemporaryFile::create(const std::filesystem::path& destination) {
    thread_local std::mt19937_64 random{std::random_device{}()};
    std::uniform_int_distribution<size_t> pick(0, suffixLetters.size() - 1);
    std::string base = destination.filename().string().substr(0, baseLength);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = "." + base + std::string(marker);
        for (size_t i = 0; i < suffixLength; ++i)
            name += suffixLetters[pick(random)];
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

size_t TemporaryFile::removeLeftovers(const std::filesystem::path& folder,
                                      std::string_view extension) {
    return TemporaryFolder::removeOldEntries(
        folder, S_IFREG,
        [extension](std::string_view name) { return isTemporaryName(name, extension); },
        [](int parent, const std::string& name, int file) {
            // Unlinked while still locked, so that no writer can be holding it meanwhile.
            return ::flock(file, LOCK_EX | LOCK_NB) == 0 &&
                   ::unlinkat(parent, name.c_str(), 0) == 0;
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
