#include "PlatformServices/FileURL.hpp"

#include <gtest/gtest.h>

using namespace plenwick;

namespace {

TEST(FileURL, KnowsTheFileSchemeInAnyCase) {
    struct Case {
        std::string_view url;
        bool file;
    };
    const Case cases[] = {
        {"file:///tmp/a.jpg", true},
        {"FILE:///tmp/a.jpg", true},
        {"File:/tmp/a.jpg", true},
        {"file:", true},
        {"fil", false},
        {"files:///tmp", false},
        {"http://host/a", false},
        {" file:///tmp", false},
        {"", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        EXPECT_EQ(FileURL::hasFileScheme(c.url), c.file);
    }
}

TEST(FileURL, APathComesBackFromItsURL) {
    for (std::filesystem::path path : {"/tmp/plain.jpg", "/tmp/Photos 2024/été 📷.jpg",
                                       "/tmp/what?#100%.jpg", "/tmp/a:b@c;d=e,f+g&h.jpg"}) {
        SCOPED_TRACE(path);
        std::string url = FileURL::string(path);
        EXPECT_TRUE(url.starts_with("file:///tmp/")) << url;
        EXPECT_EQ(url.find_first_of(" ?#", 7), std::string::npos) << url;
        EXPECT_EQ(FileURL::path(url), path);
    }
    EXPECT_EQ(FileURL::string("/tmp/été?.jpg"), "file:///tmp/%C3%A9t%C3%A9%3F.jpg");
}

} // namespace
