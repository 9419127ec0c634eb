#include "StandardInputItemProvider.hpp"

#include "PlatformServices/FileDescriptor.hpp"
#include "PlatformServices/FileStaging.hpp"
#include "PlatformServices/UniformType.hpp"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace plenwick {

namespace {

constexpr std::string_view notKept = "standard input could not be kept";

// What was read of standard input: its first bytes, how many there were, and the first failure
// to read or keep them.
struct Copied {
    std::string head;
    size_t total = 0;
    std::optional<SystemError> failure;
};

// Copies `descriptor` to `output` up to its end, a cancellation on `cancelDescriptor` or the
// bound of a photo, keeping the first bytes for sniffing, then closes `output`.
Copied copyToEnd(int descriptor, int cancelDescriptor, FileDescriptor& output) {
    constexpr size_t headLength = 4096;
    char buffer[65536];
    Copied copied;
    for (;;) {
        // A writer that never finishes must not keep a dismissed share alive.
        pollfd waits[2] = {{descriptor, POLLIN, 0}, {cancelDescriptor, POLLIN, 0}};
        if (::poll(waits, cancelDescriptor >= 0 ? 2 : 1, -1) < 0) {
            if (errno == EINTR)
                continue;
            copied.failure = SystemError::fromErrno("standard input could not be read");
            break;
        }
        if (waits[1].revents & POLLIN) {
            copied.failure = SystemError{"standard input was not read to its end"};
            break;
        }
        ssize_t count = ::read(descriptor, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0) {
            copied.failure = SystemError::fromErrno("standard input could not be read");
            break;
        }
        if (count == 0)
            break;
        // Bytes that never end must not fill the temporary folder: they are no photo.
        if (copied.total + static_cast<size_t>(count) >
            static_cast<size_t>(FileStaging::largestPipedPhoto)) {
            copied.failure = FileStaging::tooLargeForAPhoto().prefixed("standard input");
            break;
        }
        if (copied.head.size() < headLength)
            copied.head.append(
                buffer, std::min(static_cast<size_t>(count), headLength - copied.head.size()));
        copied.total += static_cast<size_t>(count);
        // Read on after a failed write, so that the writer is not left blocked on a full pipe.
        if (!copied.failure) {
            if (auto written = output.writeAll(buffer, static_cast<size_t>(count)); !written)
                copied.failure = written.error().prefixed(notKept);
        }
    }
    if (auto closed = output.close(); !closed && !copied.failure)
        copied.failure = closed.error().prefixed(notKept);
    return copied;
}

// The type the bytes' head shows; plain data when it shows none, nothing when there were none.
std::optional<std::string> sniffedType(const Copied& copied) {
    if (copied.total == 0)
        return std::nullopt;
    auto type = UniformType::ofContents(copied.head, copied.total <= copied.head.size());
    return std::string(type ? type->identifier() : UniformType::data().identifier());
}

// "image", with the extension of `type` where it has one.
std::string fileNameFor(const std::optional<std::string>& type) {
    std::string name = "image";
    if (auto known = type ? UniformType::withIdentifier(*type) : std::nullopt)
        if (auto extension = known->preferredFilenameExtension())
            name += "." + *extension;
    return name;
}

} // namespace

StandardInputItemProvider::StandardInputItemProvider(int descriptor, int cancelDescriptor) {
    if (auto stored = store(descriptor, cancelDescriptor); !stored)
        m_failure = std::move(stored.error().message);
}

StandardInputItemProvider::~StandardInputItemProvider() {
    // Join the deliveries first: one may still be handing the file over.
    m_deliveries.clear();
    m_folder.reset();
}

// Streams the bytes into a file of a fresh 0700 folder and sniffs their head on the way.
Expected<void, SystemError> StandardInputItemProvider::store(int descriptor, int cancelDescriptor) {
    auto temporary = TemporaryFolder::systemFolder();
    if (!temporary)
        return temporary.error().prefixed(notKept);
    auto folder =
        TemporaryFolder::createStaging(temporary.value(), TemporaryFolder::Staging::standardInput);
    if (!folder)
        return folder.error().prefixed(notKept);
    m_folder = std::move(folder.value());
    std::filesystem::path partial = m_folder->path() / "input";
    auto created = FileDescriptor::open(partial, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (!created)
        return created.error().prefixed("cannot create a temporary file");

    Copied copied = copyToEnd(descriptor, cancelDescriptor, created.value());
    m_type = sniffedType(copied);
    m_file = m_folder->path() / fileNameFor(m_type);
    std::error_code error;
    // What was kept of bytes that could not all be is of no use, and its room is needed.
    if (copied.failure) {
        std::filesystem::remove(partial, error);
        return *copied.failure;
    }
    std::filesystem::rename(partial, m_file, error);
    if (error)
        return SystemError{error.message(), error.value()}.prefixed(notKept);
    return {};
}

std::vector<std::string> StandardInputItemProvider::registeredTypeIdentifiers() const {
    if (!m_type)
        return {};
    return {*m_type};
}

void StandardInputItemProvider::loadFileURLItem(ItemCallback callback) {
    m_deliveries.push_back(startDelivery([callback = std::move(callback)] {
        callback(std::monostate{}, "standard input has no file URL");
    }));
}

void StandardInputItemProvider::loadFileRepresentation(const std::string& typeIdentifier,
                                                       FileCallback callback) {
    auto requested = UniformType::withIdentifier(typeIdentifier);
    auto own = m_type ? UniformType::withIdentifier(*m_type) : std::nullopt;
    std::optional<std::string> error = m_failure;
    if (!requested || !own || !own->conformsTo(*requested))
        error = "standard input has no " + typeIdentifier + " representation";
    else if (m_delivered)
        error = "standard input was already delivered";
    if (!error)
        m_delivered = true;
    m_deliveries.push_back(startDelivery([callback = std::move(callback), error, file = m_file] {
        if (error) {
            callback(std::nullopt, error);
            return;
        }
        callback(file, std::nullopt);
        std::error_code ignored;
        std::filesystem::remove(file, ignored);
    }));
}

} // namespace plenwick
