#pragma once

#include "PlatformServices/TemporaryFolder.hpp"

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace plenwick::test {

// The folder of real test files in the repository (Tests/Fixtures).
std::filesystem::path fixtures();

// The whole content of a file; empty when it cannot be read.
std::string readFile(const std::filesystem::path& file);

// Writes a small image of the given size (format from the extension), with a colour gradient.
void writeImage(const std::filesystem::path& file, int width, int height);

// Sets a file's or folder's times two minutes back: leftovers count as left only a minute after
// they were last touched.
void makeOld(const std::filesystem::path& path);

// The names in a folder, sorted; none when it cannot be read.
std::vector<std::string> namesIn(const std::filesystem::path& folder);

// Runs `leave` in a child process that then ends at once, without any clean-up, as a killed
// program does, and returns the path `leave` names (empty when it names none). What `leave`
// makes must outlive its return to be left behind: keep it in a static.
std::filesystem::path leftByADeadProcess(const std::function<std::string()>& leave);

// A fresh folder in the temporary folder that is removed, with everything in it, when the object
// goes; its name is no share's, so that no clean-up takes it meanwhile. Throws when it cannot be
// made.
class TemporaryFolder {
public:
    TemporaryFolder();

    const std::filesystem::path& path() const { return m_folder.path(); }
    std::filesystem::path operator/(const std::string& name) const { return path() / name; }

private:
    plenwick::TemporaryFolder m_folder;
};

} // namespace plenwick::test
