#include "PlatformServices/FileStaging.hpp"
#include "ScopedMount.hpp"
#include "TestSupport.hpp"

#include <fstream>
#include <sys/stat.h>

#include <gtest/gtest.h>

using namespace plenwick;
using Method = FileStaging::Method;

namespace {

ino_t inodeOf(const std::filesystem::path& file) {
    struct stat status {};
    EXPECT_EQ(::stat(file.c_str(), &status), 0) << file;
    return status.st_ino;
}

// Whatever happens to the original once it is staged, the staged name reads the bytes it had.
TEST(FileStaging, StagedFilesOutliveTheirOriginalsWithoutCopies) {
    test::TemporaryFolder folder;
    std::filesystem::create_directories(folder / "photos");
    std::filesystem::create_directories(folder / "other-disk");
    auto otherDisk = test::ScopedMount::tmpfs(folder / "other-disk", 1 << 20);

    const struct {
        const char* what;
        std::filesystem::path staging;
        Method method;
    } cases[] = {
        {"same file system", folder / "staging", Method::hardLink},
        {"another file system", folder / "other-disk" / "staging", Method::reference},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::create_directories(c.staging);
        const std::string bytes = std::string("photo bytes for ") + c.what;
        for (const char* fate : {"renamed", "deleted", "replaced"}) {
            SCOPED_TRACE(fate);
            std::filesystem::path original = folder / "photos" / (std::string(fate) + ".jpg");
            std::ofstream(original, std::ios::binary) << bytes;
            std::filesystem::path staged = c.staging / (std::string(fate) + ".jpg");

            auto result = FileStaging::stage(original, staged);
            ASSERT_TRUE(result) << result.error().message;
            EXPECT_EQ(result.value().method, c.method);
            EXPECT_EQ(static_cast<bool>(result.value().reference), c.method == Method::reference);
            EXPECT_EQ(inodeOf(staged), inodeOf(original));

            if (std::string(fate) == "renamed") {
                std::filesystem::rename(original, folder / "photos" / "elsewhere.jpg");
            } else if (std::string(fate) == "deleted") {
                std::filesystem::remove(original);
            } else {
                // As editors save: a new file renamed over the old name.
                std::ofstream(original.string() + ".new") << "other bytes";
                std::filesystem::rename(original.string() + ".new", original);
            }
            EXPECT_EQ(test::readFile(staged), bytes);
            std::filesystem::remove(folder / "photos" / "elsewhere.jpg");
        }
    }
}

TEST(FileStaging, FailuresNameTheSystemsReason) {
    test::TemporaryFolder folder;
    std::ofstream(folder / "a.jpg") << "bytes";
    std::ofstream(folder / "taken.jpg") << "earlier";
    const struct {
        std::filesystem::path source;
        std::filesystem::path destination;
        const char* reason;
    } cases[] = {
        {folder / "missing.jpg", folder / "x.jpg", "No such file or directory"},
        {folder.path(), folder / "y.jpg", "Is a directory"},
        {folder / "a.jpg", folder / "taken.jpg", "File exists"},
        {folder / "a.jpg", folder / "no-folder" / "a.jpg", "No such file or directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.destination);
        auto result = FileStaging::stage(c.source, c.destination);
        EXPECT_FALSE(result);
        EXPECT_EQ(result ? std::string() : result.error().message, c.reason);
    }
    EXPECT_EQ(test::readFile(folder / "taken.jpg"), "earlier");
}

} // namespace
