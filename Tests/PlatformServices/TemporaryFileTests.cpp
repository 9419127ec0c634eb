#include "PlatformServices/TemporaryFile.hpp"
#include "TestSupport.hpp"

#include <fcntl.h>
#include <fstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

using namespace plenwick;
namespace fs = std::filesystem;

namespace {

// The temporary for `destination` that a process wrote part of and then ended without
// cleaning up, as a share killed while writing a JPEG does.
fs::path leftByADeadProcess(const fs::path& destination) {
    int ends[2];
    if (::pipe(ends) != 0)
        return {};
    pid_t child = ::fork();
    if (child == 0) {
        auto file = TemporaryFile::create(destination);
        // A path only for a temporary that holds its part, so that a failed write fails the test.
        std::string path =
            file && file.value().writeAll("half a JPEG", 11) ? file.value().path().string() : "";
        [[maybe_unused]] ssize_t written = ::write(ends[1], path.data(), path.size());
        ::_exit(0);
    }
    ::close(ends[1]);
    std::string path;
    char buffer[4096];
    for (ssize_t count; (count = ::read(ends[0], buffer, sizeof buffer)) > 0;)
        path.append(buffer, static_cast<size_t>(count));
    ::close(ends[0]);
    ::waitpid(child, nullptr, 0);
    return path;
}

std::vector<std::string> namesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Every entry is older than a minute and unlocked, so that only its name or its kind tells it
// from a temporary a dead share left.
TEST(TemporaryFile, OnlyTemporariesOfDeadWritersAreRemoved) {
    test::TemporaryFolder folder;
    const std::string longName = std::string(240, 'n') + ".jpg";
    std::vector<fs::path> dead;
    for (const std::string& name :
         {std::string("photo.jpg"), std::string("photo.jpg"), std::string("a b \xc3\xa9.jpg"),
          std::string(".jpg"), longName}) {
        dead.push_back(leftByADeadProcess(folder / name));
        ASSERT_FALSE(dead.back().empty()) << name;
    }
    const std::string exact = ".photo.jpg.plenwick-AbC123";
    const std::string base200 = std::string(200, 'n');
    std::vector<std::string> kept = {
        // Exports and a user's hidden files.
        "photo.jpg",
        ".photo.jpg",
        ".notes.plenwick-backup",
        // Names near a temporary's.
        ".photo.jpg.plenwick-AbC12",
        ".photo.jpg.plenwick-AbC1234",
        "photo.jpg.plenwick-AbC123",
        ".photo.jpg.plenwick-AbC-12",
        ".photo.jpg.plenwick-AbC1\xc3\xa9",
        ".photo.jpg.plenwick_AbC123",
        ".photo.jpg-plenwick-AbC123",
        ".photo.png.plenwick-AbC123",
        "..plenwick-AbC123",
        "." + base200.substr(1) + ".plenwick-AbC123",
        "." + base200 + "n.plenwick-AbC123",
    };
    for (const std::string& name : kept)
        std::ofstream(folder / name) << "not a temporary of ours";
    // The exact form, but a link, a folder, a FIFO, another user's, one being written and one
    // made a moment ago.
    const std::vector<std::string> notFiles = {
        ".link.jpg.plenwick-AbC123", ".folder.jpg.plenwick-AbC123", ".fifo.jpg.plenwick-AbC123"};
    fs::create_symlink(folder / "photo.jpg", folder / notFiles[0]);
    fs::create_directory(folder / notFiles[1]);
    ASSERT_EQ(::mkfifo((folder / notFiles[2]).c_str(), 0600), 0);
    const std::vector<std::string> others = {".other.jpg.plenwick-AbC123",
                                             ".written.jpg.plenwick-AbC123"};
    for (const std::string& name : others)
        std::ofstream(folder / name) << "half a JPEG";
    ASSERT_EQ(::lchown((folder / others[0]).c_str(), 4242, 4242), 0);
    int writing = ::open((folder / others[1]).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(writing, LOCK_EX), 0);
    for (const std::string& name : namesIn(folder.path()))
        test::makeOld(folder / name);
    const fs::path young = leftByADeadProcess(folder / "young.jpg");
    kept.insert(kept.end(), notFiles.begin(), notFiles.end());
    kept.insert(kept.end(), others.begin(), others.end());
    kept.push_back(young.filename().string());
    std::sort(kept.begin(), kept.end());

    EXPECT_EQ(TemporaryFile::removeLeftovers(folder.path(), ".jpg"), dead.size());
    ::close(writing);

    EXPECT_EQ(namesIn(folder.path()), kept);
    EXPECT_EQ(test::readFile(folder / "photo.jpg"), "not a temporary of ours");
}

} // namespace
