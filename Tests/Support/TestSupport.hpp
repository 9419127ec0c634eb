#pragma once

#include <filesystem>
#include <string>

namespace plenwick::test {

// The folder of real test files in the repository (Tests/Fixtures).
std::filesystem::path fixtures();

// The whole content of a file; empty when it cannot be read.
std::string readFile(const std::filesystem::path& file);

// Writes a small image of the given size (format from the extension), with a colour gradient.
void writeImage(const std::filesystem::path& file, int width, int height);

// A fresh folder that is removed, with everything in it, when the object goes.
class TemporaryFolder {
public:
    TemporaryFolder();
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    const std::filesystem::path& path() const { return m_path; }
    std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

private:
    std::filesystem::path m_path;
};

} // namespace plenwick::test
