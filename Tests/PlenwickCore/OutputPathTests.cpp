#include "PlenwickCore/OutputPath.hpp"
#include "TestSupport.hpp"

#include <fstream>

#include <gtest/gtest.h>

using namespace plenwick;

namespace {

ExportSpec specWithFolder(std::string folder) {
    return {"id", std::move(folder), SizeRule::width(1080), 0.85};
}

TEST(OutputPath, NamesTheJpegAfterTheInput) {
    struct Case {
        const char* input;
        const char* folder;
        const char* expected;
    };
    const Case cases[] = {
        {"IMG_0042.HEIC", "instagram", "/root/instagram/IMG_0042.jpg"},
        {"holiday.final.png", "facebook", "/root/facebook/holiday.final.jpg"},
        {"scan", "threads", "/root/threads/scan.jpg"},
        {"a.png", "x", "/root/x/a.jpg"},
        {"a.heic", "x", "/root/x/a.jpg"},
        {"A.png", "x", "/root/x/A.jpg"},
        {"photo.JPG", "x", "/root/x/photo.jpg"},
        {"photo.jpg", "x", "/root/x/photo.jpg"},
        {".hidden", "x", "/root/x/.hidden.jpg"},
        {"trailing.", "x", "/root/x/trailing.jpg"},
        {"two words.tif", "nested/deeper", "/root/nested/deeper/two words.jpg"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(OutputPath::destination("/root", specWithFolder(c.folder), c.input),
                  std::filesystem::path(c.expected))
            << c.input;
}

TEST(OutputPath, FoldersThatLeaveTheRootAreRecognised) {
    struct Case {
        const char* folder;
        bool escapes;
    };
    const Case cases[] = {
        {"instagram", false}, {"a/b", false}, {"a/./b", false}, {"..x", false},    {"", true},
        {"/abs", true},       {"..", true},   {"../x", true},   {"a/../..", true}, {"a/..", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(OutputPath::escapesRoot(c.folder), c.escapes) << c.folder;
}

TEST(OutputPath, EnsureDirectoryCreatesOnceAndReportsTheFile) {
    test::TemporaryFolder folder;
    auto file = folder / "Socials/instagram/a.jpg";
    for (int time = 0; time < 2; ++time) {
        auto ensured = OutputPath::ensureDirectory(file);
        EXPECT_TRUE(ensured) << ensured.error().message;
    }
    EXPECT_TRUE(std::filesystem::is_directory(folder / "Socials/instagram"));

    std::ofstream(folder / "Socials/blocked") << "not a folder";
    for (auto blocked : {folder / "Socials/blocked/a.jpg", folder / "Socials/blocked/x/a.jpg"}) {
        auto ensured = OutputPath::ensureDirectory(blocked);
        ASSERT_FALSE(ensured);
        EXPECT_EQ(ensured.error().kind, ExportError::Kind::write);
        EXPECT_EQ(ensured.error().location, blocked);
        EXPECT_FALSE(ensured.error().message.empty());
    }
}

} // namespace
