#include "PlatformServices/UniformType.hpp"
#include "TestSupport.hpp"

#include <fstream>
#include <future>
#include <optional>
#include <string>
#include <sys/stat.h>

#include <gtest/gtest.h>

using namespace plenwick;
using namespace std::string_literals;

namespace {

std::optional<std::string> identifierOf(const std::optional<UniformType>& type) {
    if (!type)
        return std::nullopt;
    return std::string(type->identifier());
}

UniformType type(std::string_view identifier) {
    auto found = UniformType::withIdentifier(identifier);
    EXPECT_TRUE(found) << identifier;
    return found.value_or(UniformType::data());
}

struct FileCase {
    const char* file;
    std::optional<std::string> expected;
};

TEST(UniformType, SniffsTheContentTypeOfRealFilesFromTheirBytesNotTheirNames) {
    const std::filesystem::path fixtures = test::fixtures();
    // Two mislabelled files need no fixture of their own: an empty file and a JPEG named .png.
    test::TemporaryFolder made;
    std::filesystem::copy_file(fixtures / "orientation/hopper_orientation_6.jpg",
                               made / "jpeg_named.png");
    std::ofstream(made / "zero_bytes.jpg").close();
    const std::string jpegNamed = (made / "jpeg_named.png").string();
    const std::string zeroBytes = (made / "zero_bytes.jpg").string();
    const FileCase cases[] = {
        {"orientation/Landscape_1.jpg", "public.jpeg"},
        {"alpha/basn6a08.png", "public.png"},
        {"alpha/trans-x.gif", "com.compuserve.gif"},
        {"multi/rotating-squares.gif", "com.compuserve.gif"},
        {"multi/multipage.tiff", "public.tiff"},
        {"webp/test.webp", "org.webmproject.webp"},
        {"webp/transparent.webp", "org.webmproject.webp"},
        {"heic/arrow.heic", "public.heic"},
        // Major brand mif1, compatible heic: the specific brand wins.
        {"heic/example.heic", "public.heic"},
        {"heic/gradient-10b-displayp3-alpha.heic", "public.heic"},
        {"hostile/truncated.heic", "public.heic"},
        {"hostile/heic_named.jpg", "public.heic"},
        {jpegNamed.c_str(), "public.jpeg"},
        {"hostile/photo.jpg", "public.plain-text"},
        {"hostile/broken.png", "public.png"},
        {"appcast/sparkle_testappcast.xml", "public.plain-text"},
        {"README.md", "public.plain-text"},
        {zeroBytes.c_str(), std::nullopt},
        {"hostile/empty.heic", std::nullopt},
        {"heic", "public.folder"},
        {"missing.jpg", std::nullopt},
    };
    for (const FileCase& c : cases) {
        SCOPED_TRACE(c.file);
        EXPECT_EQ(identifierOf(UniformType::ofFile(fixtures / c.file)), c.expected);
    }
}

struct BytesCase {
    const char* what;
    std::string bytes;
    std::optional<std::string> expected;
    bool complete = true;
};

std::string bmpHeader(uint8_t infoSize) {
    std::string header = "BM"s + "\x46\0\0\0"s + "\0\0\0\0"s + "\x36\0\0\0"s;
    header += static_cast<char>(infoSize);
    header += "\0\0\0"s + std::string(40, '\x01');
    return header;
}

std::string ftyp(std::string major, std::string compatible) {
    std::string box = "\0\0\0"s + static_cast<char>(16 + compatible.size()) + "ftyp" + major +
                      "\0\0\0\0"s + compatible;
    return box + "\0\0\0\x08meta"s;
}

TEST(UniformType, SniffsSignaturesAndTellsTextFromBinaryData) {
    const BytesCase cases[] = {
        {"JPEG", "\xFF\xD8\xFF\xE0\0\x10JFIF"s, "public.jpeg"},
        {"PNG", "\x89PNG\r\n\x1A\n\0\0\0\rIHDR"s, "public.png"},
        {"GIF87a", "GIF87a\x01\0\x01\0"s, "com.compuserve.gif"},
        {"TIFF little-endian", "II*\0\x08\0\0\0"s, "public.tiff"},
        {"TIFF big-endian", "MM\0*\0\0\0\x08"s, "public.tiff"},
        {"BigTIFF", "II+\0\x08\0\0\0"s, "public.tiff"},
        {"WebP", "RIFF\x24\0\0\0WEBPVP8 "s, "org.webmproject.webp"},
        {"WAVE is RIFF too", "RIFF\x24\0\0\0WAVEfmt "s, std::nullopt},
        {"AVIF", ftyp("avif", "mif1miafavif"), "public.avif"},
        {"generic HEIF then AVIF", ftyp("mif1", "mif1avif"), "public.avif"},
        {"generic HEIF only", ftyp("mif1", "mif1miaf"), "public.heif"},
        {"HEIC sequence", ftyp("hevc", "msf1hevc"), "public.heic"},
        {"MP4 video", ftyp("isom", "isomiso2mp41"), std::nullopt},
        {"ftyp box cut short",
         "\0\0\0\x18"
         "ftyp"s,
         std::nullopt},
        {"JPEG 2000", "\0\0\0\x0CjP  \r\n\x87\n\0\0\0\x14"s, "public.jpeg-2000"},
        {"JPEG 2000 codestream", "\xFF\x4F\xFF\x51\0\x2F"s, "public.jpeg-2000"},
        {"BMP", bmpHeader(40), "com.microsoft.bmp"},
        {"BMP with an OS/2 header", bmpHeader(12), "com.microsoft.bmp"},
        {"text starting with BM", "BMW and Mercedes are cars, not bitmaps.", "public.plain-text"},
        {"PDF", "%PDF-1.7\n%\xE2\xE3\xCF\xD3\n"s, "com.adobe.pdf"},
        {"SVG", "<svg xmlns=\"http://www.w3.org/2000/svg\"/>", "public.svg-image"},
        {"SVG after declaration, comment and doctype",
         "\xEF\xBB\xBF<?xml version=\"1.0\"?>\n<!-- drawn by hand -->\n<!DOCTYPE svg>\n"
         "<svg\n width=\"1\">",
         "public.svg-image"},
        {"another XML document", "<?xml version=\"1.0\"?><rss version=\"2.0\"/>",
         "public.plain-text"},
        {"an element that only starts like svg", "<svgish/>", "public.plain-text"},
        {"UTF-8 text", "Grüße aus Köln ✓\n", "public.plain-text"},
        {"Latin-1 text",
         "Gr\xFC\xDF"
         "e\n"s,
         std::nullopt},
        {"NUL byte", "text\0more"s, std::nullopt},
        {"UTF-8 cut off in the middle of a character", "caf\xC3"s, std::nullopt},
        {"the same as the start of a longer file", "caf\xC3"s, "public.plain-text", false},
        {"a stray continuation byte at the end of a head", "caf\x80"s, std::nullopt, false},
        {"nothing", "", std::nullopt},
    };
    for (const BytesCase& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(identifierOf(UniformType::ofContents(c.bytes, c.complete)), c.expected);
    }
}

TEST(UniformType, ReadsOnlyTheHeadOfALargeFileAndTakesItAsTheStartOfTheFile) {
    test::TemporaryFolder folder;
    // Four-byte characters straddle the 4096-byte head, as in any long UTF-8 text.
    std::string text = "x";
    while (text.size() < 10000)
        text += "\xF0\x9F\x93\xB7";
    std::ofstream(folder / "caption.txt") << text;
    EXPECT_EQ(identifierOf(UniformType::ofFile(folder / "caption.txt")), "public.plain-text");
}

TEST(UniformType, DoesNotWaitOnAFifoNamedLikeAPhoto) {
    test::TemporaryFolder folder;
    ASSERT_EQ(mkfifo((folder / "photo.jpg").c_str(), 0600), 0);
    auto sniffed = std::async(std::launch::async, [&] {
        return identifierOf(UniformType::ofFile(folder / "photo.jpg"));
    });
    ASSERT_EQ(sniffed.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(sniffed.get(), std::nullopt);
}

struct ConformanceCase {
    const char* type;
    const char* other;
    bool expected;
};

TEST(UniformType, ConformsToItselfAndItsAncestorsOnly) {
    const ConformanceCase cases[] = {
        {"public.jpeg", "public.jpeg", true},       {"public.jpeg", "public.image", true},
        {"public.jpeg", "public.data", true},       {"public.jpeg", "public.content", true},
        {"public.jpeg", "public.item", true},       {"public.heic", "public.image", true},
        {"public.heic", "public.heif", false},      {"public.avif", "public.image", true},
        {"public.svg-image", "public.image", true}, {"public.image", "public.image", true},
        {"public.image", "public.jpeg", false},     {"public.file-url", "public.url", true},
        {"public.file-url", "public.data", true},   {"public.file-url", "public.image", false},
        {"public.plain-text", "public.text", true}, {"public.plain-text", "public.image", false},
        {"com.adobe.pdf", "public.image", false},   {"public.folder", "public.directory", true},
        {"public.folder", "public.item", true},     {"public.folder", "public.data", false},
        {"public.item", "public.data", false},
    };
    for (const ConformanceCase& c : cases) {
        SCOPED_TRACE(std::string(c.type) + " to " + c.other);
        EXPECT_EQ(type(c.type).conformsTo(type(c.other)), c.expected);
    }
    EXPECT_EQ(UniformType::image(), type("public.image"));
    EXPECT_EQ(UniformType::fileURL(), type("public.file-url"));
    EXPECT_EQ(UniformType::data(), type("public.data"));
    EXPECT_FALSE(UniformType::withIdentifier("public.jpg"));
    EXPECT_FALSE(UniformType::withIdentifier(""));
}

struct ExtensionCase {
    const char* extension;
    std::optional<std::string> expected;
};

TEST(UniformType, FindsTypesByFilenameExtensionInAnyCase) {
    const ExtensionCase cases[] = {
        {"jpg", "public.jpeg"},
        {"JPG", "public.jpeg"},
        {"jpe", "public.jpeg"},
        {"Jpeg", "public.jpeg"},
        {"tif", "public.tiff"},
        {"heic", "public.heic"},
        {"HEIF", "public.heif"},
        {"avif", "public.avif"},
        {"webp", "org.webmproject.webp"},
        {"gif", "com.compuserve.gif"},
        {"bmp", "com.microsoft.bmp"},
        {"svg", "public.svg-image"},
        {"txt", "public.plain-text"},
        {"pdf", "com.adobe.pdf"},
        {"jp2", "public.jpeg-2000"},
        {"xyz", std::nullopt},
        {"", std::nullopt},
        {".jpg", std::nullopt},
    };
    for (const ExtensionCase& c : cases) {
        SCOPED_TRACE(c.extension);
        EXPECT_EQ(
            identifierOf(UniformType::withFilenameExtension(c.extension, UniformType::data())),
            c.expected);
    }
    EXPECT_FALSE(UniformType::withFilenameExtension("txt", UniformType::image()));
    EXPECT_EQ(identifierOf(UniformType::withFilenameExtension("png", UniformType::image())),
              "public.png");
}

TEST(UniformType, NamesPreferredExtensionsAndMIMETypes) {
    EXPECT_EQ(type("public.jpeg").preferredFilenameExtension(), "jpeg");
    EXPECT_EQ(type("public.tiff").preferredFilenameExtension(), "tiff");
    EXPECT_EQ(type("public.heic").preferredFilenameExtension(), "heic");
    EXPECT_EQ(type("public.image").preferredFilenameExtension(), std::nullopt);
    EXPECT_EQ(type("public.file-url").preferredFilenameExtension(), std::nullopt);
    EXPECT_EQ(type("public.heic").preferredMIMEType(), "image/heic");
    EXPECT_EQ(type("com.microsoft.bmp").preferredMIMEType(), "image/bmp");
    EXPECT_EQ(type("public.image").preferredMIMEType(), std::nullopt);
}

} // namespace
