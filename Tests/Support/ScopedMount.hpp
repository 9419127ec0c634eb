#pragma once

#include <cstdint>
#include <filesystem>

namespace plenwick::test {

// A file system mounted for the life of the object, for the faults a full or read-only disk
// gives: the tests run as root, who writes anywhere else. Throws when it cannot be mounted.
class ScopedMount {
public:
    // A tmpfs of `bytes` at `folder`, which must exist.
    static ScopedMount tmpfs(const std::filesystem::path& folder, uint64_t bytes);
    // `folder` itself, made read-only where it stands.
    static ScopedMount readOnly(const std::filesystem::path& folder);
    // The file system of `type` in the image file `image`, through a loop device that goes with
    // the mount, at `folder`.
    static ScopedMount image(const std::filesystem::path& image,
                             const std::filesystem::path& folder, const char* type);
    // `from` seen also at `folder`: the same file system through another mount, across which
    // files cannot be hard-linked.
    static ScopedMount bind(const std::filesystem::path& from, const std::filesystem::path& folder);

    ScopedMount(ScopedMount&& other) noexcept;
    ScopedMount& operator=(ScopedMount&&) = delete;
    ~ScopedMount();

    const std::filesystem::path& path() const { return m_folder; }

private:
    explicit ScopedMount(std::filesystem::path folder) : m_folder(std::move(folder)) {}

    std::filesystem::path m_folder;
};

// Fills the file system of `folder` with one file until it takes no more byte.
void fill(const std::filesystem::path& folder);

} // namespace plenwick::test
