#include "ChildProcess.hpp"
#include "PlenwickCore/ExportSpec.hpp"
#include "PlenwickCore/ImageExporter.hpp"
#include "PlenwickCore/ImageLibrary.hpp"
#include "PlenwickCore/ImageSource.hpp"
#include "PlenwickCore/ImageTypes.hpp"
#include "PlenwickCore/OutputPath.hpp"
#include "TestSupport.hpp"

#include <algorithm>
#include <csignal>
#include <fstream>
#include <iterator>
#include <map>
#include <sys/resource.h>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <vips/vips8>

using namespace plenwick;
using vips::VImage;
namespace fs = std::filesystem;

namespace {

void writeBytes(const fs::path& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary) << bytes;
}

// A photo whose corners differ, stored with the given EXIF orientation.
void writePhoto(const fs::path& file, int width, int height, int orientation = 1) {
    VImage xy = VImage::xyz(width, height);
    VImage red = xy.extract_band(0) * (255.0 / width);
    VImage green = xy.extract_band(1) * (255.0 / height);
    VImage photo =
        red.bandjoin(green).bandjoin(VImage::black(width, height) + 90).cast(VIPS_FORMAT_UCHAR);
    photo = photo.copy();
    if (orientation != 1)
        photo.set(VIPS_META_ORIENTATION, orientation);
    photo.write_to_file(file.c_str());
}

// What a viewer shows for image 0 of a file: sRGB, opaque over white, as stored.
VImage shown(const fs::path& file, int page = 0) {
    VImage image =
        VImage::new_from_file(file.c_str(), VImage::option()->set("page", page)->set("n", 1));
    image = image.colourspace(VIPS_INTERPRETATION_sRGB);
    if (image.has_alpha())
        image =
            image.flatten(VImage::option()->set("background", std::vector<double>{255, 255, 255}));
    return image;
}

// Mean absolute difference per pixel and band, 0 to 255.
double difference(const VImage& a, const VImage& b) {
    return (a.cast(VIPS_FORMAT_FLOAT) - b.cast(VIPS_FORMAT_FLOAT)).abs().avg();
}

// The share of columns with dark ink in them.
double inkWidth(const VImage& region) {
    VImage rows;
    VImage columns = (region.colourspace(VIPS_INTERPRETATION_B_W) < 100).project(&rows);
    return (columns > 0).avg() / 255.0;
}

PixelSize sizeOf(const VImage& image) {
    return {image.width(), image.height()};
}

// The first luminance quantiser of a baseline JPEG: libjpeg derives it from Q alone.
int firstQuantiser(const std::string& jpeg) {
    size_t marker = jpeg.find("\xFF\xDB");
    return marker == std::string::npos ? -1 : static_cast<unsigned char>(jpeg[marker + 5]);
}

class ImageExporterTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(ImageLibrary::start("plenwick-tests")); }

    // Where a spec folder "instagram" would receive the JPEG; the folder does not exist yet.
    fs::path destination(const std::string& name = "photo.jpg") const {
        return folder / "instagram" / name;
    }

    Expected<PixelSize, ExportError> exportTo(const fs::path& source, const fs::path& to,
                                              SizeRule rule = SizeRule::width(1080),
                                              double quality = 0.85) const {
        return ImageExporter(quality).exportImage(source, to, rule);
    }

    // Exports and reads the JPEG back; fails the test when the export fails.
    VImage exported(const fs::path& source, SizeRule rule = SizeRule::width(1080),
                    const std::string& name = "photo.jpg") const {
        auto result = exportTo(source, destination(name), rule);
        EXPECT_TRUE(result) << source << ": " << (result ? "" : result.error().description());
        if (!result)
            return VImage::black(1, 1);
        VImage jpeg = VImage::jpegload(destination(name).c_str());
        EXPECT_EQ(sizeOf(jpeg), result.value()) << source;
        return jpeg;
    }

    test::TemporaryFolder folder;
};

TEST_F(ImageExporterTest, EveryExifOrientationComesOutUpright) {
    const std::filesystem::path fixtures = test::fixtures();
    VImage reference = exported(fixtures / "orientation" / "Landscape_1.jpg", SizeRule::width(450),
                                "reference.jpg");
    ASSERT_EQ(sizeOf(reference), (PixelSize{450, 300}));
    // A mirror image of the reference is far off; the right orientation is within JPEG noise.
    ASSERT_GT(difference(reference.fliphor(), reference), 40.0);

    for (int orientation : {0, 2, 3, 4, 5, 6, 7, 8}) {
        std::string name = "Landscape_" + std::to_string(orientation) + ".jpg";
        VImage jpeg = exported(fixtures / "orientation" / name, SizeRule::width(450), name);
        ASSERT_EQ(sizeOf(jpeg), (PixelSize{450, 300})) << name;
        EXPECT_LT(difference(jpeg, reference), 6.0) << name;
    }

    EXPECT_EQ(sizeOf(exported(fixtures / "orientation" / "orientation_rectangle.jpg")),
              (PixelSize{1, 2}));
}

TEST_F(ImageExporterTest, NamesThatLookLikeLoaderOptionsAreJustNames) {
    for (const char* name : {"holiday [2]", "scan[shrink=8]", "page[0].png"}) {
        writePhoto(folder / "plain.jpg", 640, 480);
        fs::rename(folder / "plain.jpg", folder / name);
        EXPECT_EQ(sizeOf(exported(folder / name)), (PixelSize{640, 480})) << name;
    }
}

TEST_F(ImageExporterTest, OrientationOutsideOneToEightAndPngTextChunksLeaveThePixelsAsStored) {
    const std::filesystem::path fixtures = test::fixtures();
    // The PNG carries its orientation only in an ImageMagick text chunk, which viewers ignore.
    for (const char* name :
         {"hostile/exif_orientation_9.jpg", "orientation/exif_imagemagick_orientation.png"}) {
        VImage jpeg = exported(fixtures / name);
        VImage stored = shown(fixtures / name);
        ASSERT_EQ(sizeOf(jpeg), sizeOf(stored)) << name;
        EXPECT_LT(difference(jpeg, stored), 3.0) << name;
    }
}

TEST_F(ImageExporterTest, SizesFollowTheRuleOnTheUprightImageAndNeverEnlarge) {
    struct Case {
        int width, height, orientation;
        SizeRule rule;
        PixelSize expected;
    };
    const Case cases[] = {
        {4032, 3024, 6, SizeRule::width(1080), {1080, 1440}},
        {4032, 3024, 5, SizeRule::width(1080), {1080, 1440}},
        {4032, 3024, 7, SizeRule::width(1080), {1080, 1440}},
        {4032, 3024, 8, SizeRule::width(1080), {1080, 1440}},
        {4032, 3024, 1, SizeRule::width(1080), {1080, 810}},
        {4032, 3024, 2, SizeRule::width(1080), {1080, 810}},
        {4032, 3024, 3, SizeRule::width(1080), {1080, 810}},
        {4032, 3024, 4, SizeRule::width(1080), {1080, 810}},
        {4031, 3023, 6, SizeRule::longEdge(1000), {750, 1000}},
        {3000, 4000, 1, SizeRule::longEdge(2048), {1536, 2048}},
        {2160, 1621, 1, SizeRule::width(1080), {1080, 811}},
        {800, 600, 1, SizeRule::width(1080), {800, 600}},
        {800, 600, 1, SizeRule::longEdge(1350), {800, 600}},
        {10000, 3, 1, SizeRule::width(1080), {1080, 1}},
    };
    for (const Case& c : cases) {
        fs::path source = folder / "source.jpg";
        writePhoto(source, c.width, c.height, c.orientation);
        std::string label = std::to_string(c.width) + "x" + std::to_string(c.height) + " o" +
                            std::to_string(c.orientation) + " " + c.rule.description();
        auto result = exportTo(source, destination(), c.rule);
        ASSERT_TRUE(result) << label;
        EXPECT_EQ(result.value(), c.expected) << label;
        EXPECT_EQ(sizeOf(VImage::jpegload(destination().c_str())), c.expected) << label;
    }
}

TEST_F(ImageExporterTest, HeicIsTurnedByItsOwnTransformsOnlyAndGivesItsPrimaryImage) {
    const std::filesystem::path fixtures = test::fixtures();
    // Stored 4032×3024 with a quarter turn in the container and EXIF orientation 6 on top:
    // applying both would lay the arrow on its side.
    VImage arrow = exported(fixtures / "heic" / "arrow.heic", SizeRule::width(1080), "arrow.jpg");
    ASSERT_EQ(sizeOf(arrow), (PixelSize{1080, 1440}));
    VImage upright = shown(fixtures / "heic" / "arrow.heic");
    EXPECT_LT(difference(arrow, upright.resize(1080.0 / upright.width())), 4.0);
    // Pointing up, the arrow's head spans most of the page in the upper half and its shaft only
    // the middle of the lower half.
    EXPECT_GT(inkWidth(arrow.crop(0, 0, 1080, 720)), 0.7);
    EXPECT_LT(inkWidth(arrow.crop(0, 720, 1080, 720)), 0.5);

    EXPECT_EQ(sizeOf(exported(fixtures / "heic" / "img_751.heic")), (PixelSize{1008, 756}));

    // Two photos of the same size at the top level; the primary one is listed first.
    VImage primary = exported(fixtures / "heic" / "example.heic", SizeRule::width(100000));
    double toPrimary = difference(primary, shown(fixtures / "heic" / "example.heic", 0));
    EXPECT_LT(toPrimary, 5.0);
    EXPECT_LT(toPrimary, difference(primary, shown(fixtures / "heic" / "example.heic", 1)));
}

TEST_F(ImageExporterTest, TransparentAreasComeOutWhite) {
    const std::filesystem::path fixtures = test::fixtures();
    // ftbrn2c08 carries a red background hint, which must not be used.
    for (const char* name : {"alpha/basn6a08.png", "alpha/basn4a08.png", "alpha/ftbrn2c08.png",
                             "alpha/ftbwn3p08.png", "alpha/trans-x.gif", "webp/transparent.webp"}) {
        VImage source = VImage::new_from_file((fixtures / name).c_str());
        ASSERT_TRUE(source.has_alpha()) << name;
        VImage clear = source.extract_band(source.bands() - 1) == 0;
        double clearShare = clear.avg() / 255.0;
        ASSERT_GT(clearShare, 0.0) << name;

        VImage jpeg = exported(fixtures / name);
        ASSERT_EQ(sizeOf(jpeg), sizeOf(source)) << name;
        double meanWhereClear = clear.ifthenelse(jpeg, 0).avg() / clearShare;
        EXPECT_GT(meanWhereClear, 245.0) << name;
    }

    // Black handwriting on a transparent page: readable on white, gone on black.
    VImage note = exported(fixtures / "alpha" / "blackbug.png");
    EXPECT_EQ(sizeOf(note), (PixelSize{1080, 810}));
    EXPECT_GT(note.avg(), 240.0);
}

TEST_F(ImageExporterTest, MultiImageFilesGiveTheirFirstImage) {
    const std::filesystem::path fixtures = test::fixtures();
    for (const char* name : {"multi/rotating-squares.gif", "multi/cogs.gif", "multi/multipage.tiff",
                             "webp/rotating-squares.webp"}) {
        VImage first = shown(fixtures / name, 0);
        VImage later = shown(fixtures / name, first.get_int(VIPS_META_N_PAGES) / 2);
        VImage jpeg = exported(fixtures / name);
        ASSERT_EQ(sizeOf(jpeg), sizeOf(first)) << name;
        double toFirst = difference(jpeg, first);
        EXPECT_LT(toFirst, 4.0) << name;
        if (sizeOf(later) == sizeOf(first)) {
            EXPECT_LT(toFirst, difference(jpeg, later)) << name;
        }
    }
}

TEST_F(ImageExporterTest, EmbeddedProfilesAreConvertedToSrgb) {
    const std::filesystem::path fixtures = test::fixtures();
    // Display P3 (200, 100, 60) is inside sRGB: through linear light and the P3-to-sRGB matrix it
    // is sRGB (215, 93, 47). Reading the P3 numbers as sRGB would be off by 15 in red.
    VImage p3 =
        VImage::new_from_file((fixtures / "alpha" / "gradient-8b-displayp3-alpha.png").c_str());
    VImage patch = (VImage::black(32, 32, VImage::option()->set("bands", 3)) +
                    std::vector<double>{200, 100, 60})
                       .cast(VIPS_FORMAT_UCHAR)
                       .copy();
    size_t length = 0;
    const void* profile = p3.get_blob(VIPS_META_ICC_NAME, &length);
    patch.set(VIPS_META_ICC_NAME, nullptr, const_cast<void*>(profile), length);
    fs::path source = folder / "p3.png";
    patch.pngsave(source.c_str());

    std::vector<double> pixel = exported(source).getpoint(16, 16);
    ASSERT_EQ(pixel.size(), 3u);
    EXPECT_NEAR(pixel[0], 215, 3);
    EXPECT_NEAR(pixel[1], 93, 3);
    EXPECT_NEAR(pixel[2], 47, 3);

    // The same P3 gradient as 8-bit PNG and as 10-bit HEIC, both half transparent.
    VImage eight = exported(fixtures / "alpha" / "gradient-8b-displayp3-alpha.png",
                            SizeRule::width(1080), "eight.jpg");
    VImage ten = exported(fixtures / "heic" / "gradient-10b-displayp3-alpha.heic",
                          SizeRule::width(1080), "ten.jpg");
    EXPECT_LT(difference(eight, ten), 3.0);
}

TEST_F(ImageExporterTest, GreyDeepCmykAndMistaggedPixelsComeOutAsEightBitSrgb) {
    VImage xy = VImage::xyz(96, 64);
    // Muted colours, which a printing profile's gamut holds.
    VImage colour = (xy.extract_band(0) * 1.4 + 60)
                        .bandjoin(xy.extract_band(1) * 2.1 + 60)
                        .bandjoin(195 - xy.extract_band(0) * 1.4)
                        .cast(VIPS_FORMAT_UCHAR)
                        .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
    VImage grey = colour.colourspace(VIPS_INTERPRETATION_B_W);
    // A grey image tagged with an RGB profile, which cannot describe its pixels.
    VImage tagged = colour.icc_transform("srgb", VImage::option()->set("input_profile", "srgb"));
    size_t length = 0;
    const void* profile = tagged.get_blob(VIPS_META_ICC_NAME, &length);
    VImage mistagged = grey.copy();
    mistagged.set(VIPS_META_ICC_NAME, nullptr, const_cast<void*>(profile), length);
    struct Case {
        const char* name;
        VImage source;
        VImage expected;
        double tolerance;
    };
    const Case cases[] = {
        {"grey.png", grey, grey.colourspace(VIPS_INTERPRETATION_sRGB), 2.0},
        {"grey16.png", colour.colourspace(VIPS_INTERPRETATION_GREY16),
         grey.colourspace(VIPS_INTERPRETATION_sRGB), 2.0},
        {"rgb16.png", colour.colourspace(VIPS_INTERPRETATION_RGB16), colour, 2.0},
        {"mistagged.tif", mistagged, grey.colourspace(VIPS_INTERPRETATION_sRGB), 2.0},
        // The CMYK round trip through a printing profile loses a little on its own.
        {"cmyk.jpg", colour.icc_transform("cmyk", VImage::option()->set("input_profile", "srgb")),
         colour, 5.0},
        {"cmyk.tif", colour.icc_transform("cmyk", VImage::option()->set("input_profile", "srgb")),
         colour, 5.0},
    };
    for (const Case& c : cases) {
        fs::path source = folder / c.name;
        c.source.write_to_file(source.c_str(), VImage::option()->set("Q", 100));
        VImage jpeg = exported(source, SizeRule::width(1080), c.name + std::string(".jpg"));
        EXPECT_EQ(jpeg.bands(), 3) << c.name;
        EXPECT_EQ(jpeg.format(), VIPS_FORMAT_UCHAR) << c.name;
        EXPECT_LT(difference(jpeg, c.expected), c.tolerance) << c.name;
    }
}

TEST_F(ImageExporterTest, OutputCarriesNoMetadata) {
    const std::filesystem::path fixtures = test::fixtures();
    for (const char* name :
         {"orientation/Landscape_6.jpg", "webp/flower2.webp", "heic/arrow.heic"}) {
        VImage jpeg = exported(fixtures / name, SizeRule::width(400));
        for (const char* field : {VIPS_META_EXIF_NAME, VIPS_META_XMP_NAME, VIPS_META_IPTC_NAME,
                                  VIPS_META_ICC_NAME, VIPS_META_ORIENTATION})
            EXPECT_EQ(jpeg.get_typeof(field), 0u) << name << " " << field;
    }
}

TEST_F(ImageExporterTest, QualityBecomesTheEncodersRoundedClampedQ) {
    // libjpeg scales its standard tables by Q: the first luminance entry is 16 at Q 50, 5 at 85,
    // 27 at 30, 26 at 31, 1 at 100 and at most 255 in a baseline file.
    struct Case {
        double quality;
        int quantiser;
    };
    const Case cases[] = {{0.85, 5}, {0.5, 16}, {0.304, 27}, {0.306, 26},
                          {1.0, 1},  {2.0, 1},  {0.0, 255},  {-1.0, 255}};
    fs::path source = folder / "source.png";
    writePhoto(source, 300, 200);
    for (const Case& c : cases) {
        ASSERT_TRUE(exportTo(source, destination(), SizeRule::width(1080), c.quality));
        EXPECT_EQ(firstQuantiser(test::readFile(destination())), c.quantiser) << c.quality;
    }
}

TEST_F(ImageExporterTest, UnreadableInputsNameTheSourceAndCreateNoFolder) {
    const std::filesystem::path fixtures = test::fixtures();
    std::string landscape = test::readFile(fixtures / "orientation" / "Landscape_1.jpg");
    std::string blackbug = test::readFile(fixtures / "alpha" / "blackbug.png");
    writeBytes(folder / "notes.jpg", "Dear diary, today I took a photo.\n");
    writeBytes(folder / "empty.png", "");
    for (double share : {0.1, 0.5, 0.9, 0.999}) {
        std::string percent = std::to_string(static_cast<int>(share * 1000));
        writeBytes(folder / ("cut" + percent + ".jpg"),
                   landscape.substr(0, static_cast<size_t>(landscape.size() * share)));
        writeBytes(folder / ("cut" + percent + ".png"),
                   blackbug.substr(0, static_cast<size_t>(blackbug.size() * share)));
    }
    // A small JPEG whose frame header claims 30000×30000: 900 megapixels.
    writePhoto(folder / "small.jpg", 64, 64);
    std::string claim = test::readFile(folder / "small.jpg");
    size_t frame = claim.find("\xFF\xC0");
    ASSERT_NE(frame, std::string::npos);
    claim.replace(frame + 5, 4, "\x75\x30\x75\x30");
    writeBytes(folder / "claim.jpg", claim);
    // Formats outside the ones decoded here, even when libvips could open them.
    writeBytes(folder / "drawing.svg",
               "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"10\" height=\"10\"/>\n");
    writeBytes(folder / "matrix.mat", "2 2\n1 2\n3 4\n");

    std::vector<fs::path> sources = {
        folder / "notes.jpg",
        folder / "empty.png",
        folder / "missing.jpg",
        folder / "claim.jpg",
        folder / "drawing.svg",
        folder / "matrix.mat",
        fixtures / "hostile" / "truncated.jpg",
        fixtures / "hostile" / "truncated_60pct.jpg",
        fixtures / "hostile" / "headers_only.jpg",
        fixtures / "hostile" / "truncated.heic",
        fixtures / "hostile" / "png_header_100000x100000.png",
        fixtures / "hostile" / "decompression_bomb.gif",
    };
    for (double share : {0.1, 0.5, 0.9, 0.999}) {
        std::string percent = std::to_string(static_cast<int>(share * 1000));
        sources.push_back(folder / ("cut" + percent + ".jpg"));
        sources.push_back(folder / ("cut" + percent + ".png"));
    }
    for (const fs::path& source : sources) {
        auto result = exportTo(source, destination());
        ASSERT_FALSE(result) << source;
        EXPECT_EQ(result.error(), ExportError::unreadable(source)) << source;
        EXPECT_FALSE(fs::exists(folder / "instagram")) << source;
    }
}

// The largest the process's address space has been. A buffer taken at a chunk's claim is never
// filled by the few bytes that follow, so it shows here and hardly in the resident pages.
long peakAddressSpaceKilobytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmPeak:", 0) == 0)
            return std::stol(line.substr(7));
    ADD_FAILURE() << "no VmPeak in /proc/self/status";
    return 0;
}

TEST_F(ImageExporterTest, APngChunkClaimingMoreThanTheFileHoldsIsUnreadableWithoutTakingTheClaim) {
    const std::filesystem::path fixtures = test::fixtures();
    std::string png = test::readFile(fixtures / "alpha" / "basn6a08.png");
    // After the signature and IHDR: a text chunk claiming 1.9 GB, of which the file holds a few
    // bytes; the image's own chunks follow.
    const size_t afterHeader = 8 + 12 + 13;
    std::string claim("\x73\x65\x74\x88zTXtnote\0\0x", 15);
    for (size_t end : {png.size(), afterHeader}) {
        writeBytes(folder / "claim.png", png.substr(0, afterHeader) + claim + png.substr(end));
        const long before = peakAddressSpaceKilobytes();
        auto result = exportTo(folder / "claim.png", destination());
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error(), ExportError::unreadable(folder / "claim.png"));
        EXPECT_LT(peakAddressSpaceKilobytes() - before, 512 * 1024);
    }
}

TEST_F(ImageExporterTest, HostileFilesGiveUnreadableOrAWholeJpeg) {
    const std::filesystem::path fixtures = test::fixtures();
    std::vector<fs::path> sources;
    for (const auto& entry : fs::directory_iterator(fixtures / "hostile"))
        sources.push_back(entry.path());
    // Two that need no file of their own: an empty file, and a JPEG under a PNG name.
    fs::create_directories(folder / "made");
    writeBytes(folder / "made" / "zero_bytes.jpg", "");
    fs::copy_file(fixtures / "orientation" / "hopper_orientation_6.jpg",
                  folder / "made" / "jpeg_named.png");
    sources.push_back(folder / "made" / "zero_bytes.jpg");
    sources.push_back(folder / "made" / "jpeg_named.png");
    ASSERT_GE(sources.size(), 20u);

    for (const fs::path& source : sources) {
        fs::path to = destination(source.filename().string() + ".jpg");
        auto result = exportTo(source, to);
        if (!result) {
            EXPECT_EQ(result.error(), ExportError::unreadable(source)) << source;
            EXPECT_FALSE(fs::exists(to)) << source;
            continue;
        }
        VImage jpeg =
            VImage::jpegload(to.c_str(), VImage::option()->set("fail_on", VIPS_FAIL_ON_ERROR));
        EXPECT_EQ(sizeOf(jpeg), result.value()) << source;
        EXPECT_NO_THROW(jpeg.avg()) << source;
    }
}

TEST_F(ImageExporterTest, AFileWhereTheFolderShouldBeIsTheFolderWriteError) {
    writePhoto(folder / "source.jpg", 200, 100);
    writeBytes(folder / "instagram", "not a folder");
    auto ensured = OutputPath::ensureDirectory(destination());
    ASSERT_FALSE(ensured);
    ASSERT_EQ(ensured.error().kind, ExportError::Kind::write);
    ASSERT_FALSE(ensured.error().message.empty());

    auto result = exportTo(folder / "source.jpg", destination());
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), ensured.error());
    EXPECT_EQ(test::namesIn(folder.path()), (std::vector<std::string>{"instagram", "source.jpg"}));
}

TEST_F(ImageExporterTest, ANewJpegReplacesTheOldOneOnlyWhenComplete) {
    writePhoto(folder / "source.jpg", 1200, 900);
    fs::create_directory(folder / "instagram");
    writeBytes(destination(), "the earlier export");

    ASSERT_TRUE(exportTo(folder / "source.jpg", destination()));
    EXPECT_EQ(sizeOf(VImage::jpegload(destination().c_str())), (PixelSize{1080, 810}));
    EXPECT_EQ(test::namesIn(folder / "instagram"), (std::vector<std::string>{"photo.jpg"}));

    // A file size limit makes writing the new JPEG fail, as a full disk would.
    std::string earlier = test::readFile(destination());
    auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit previous{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous), 0);
    rlimit tight = previous;
    tight.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tight), 0);
    auto result = exportTo(folder / "source.jpg", destination(), SizeRule::width(1080), 1.0);
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousHandler);

    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), ExportError::encodeFailed(destination()));
    EXPECT_EQ(test::readFile(destination()), earlier);
    EXPECT_EQ(test::namesIn(folder / "instagram"), (std::vector<std::string>{"photo.jpg"}));
}

TEST_F(ImageExporterTest, DestinationsThatCannotBeWrittenAreWriteErrors) {
    writePhoto(folder / "source.jpg", 200, 100);

    // Nothing can be created in /proc, whoever runs the test.
    fs::path proc = "/proc/plenwick-export.jpg";
    EXPECT_EQ(exportTo(folder / "source.jpg", proc).error(),
              ExportError::write(proc, "cannot create image destination"));

    // A folder of the output's name cannot be replaced by the file.
    fs::create_directories(destination() / "keep");
    auto result = exportTo(folder / "source.jpg", destination());
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), ExportError::write(destination(), "Is a directory"));
    EXPECT_EQ(test::namesIn(folder / "instagram"), (std::vector<std::string>{"photo.jpg"}));
    EXPECT_TRUE(fs::is_directory(destination() / "keep"));

    // A name at the file system's limit still gets its hidden temporary file.
    fs::path longName = destination(std::string(251, 'n') + ".jpg");
    EXPECT_TRUE(exportTo(folder / "source.jpg", longName));
    EXPECT_TRUE(fs::is_regular_file(longName));
}

TEST_F(ImageExporterTest, ASourceOpenedOnceWritesWhatSeparateExportsWrite) {
    const std::filesystem::path fixtures = test::fixtures();
    const std::vector<ExportSpec>& specs = ExportSpec::defaults();
    std::vector<SizeRule> rules;
    for (const ExportSpec& spec : specs)
        rules.push_back(spec.rule);
    for (const char* name :
         {"orientation/Landscape_6.jpg", "heic/arrow.heic", "alpha/blackbug.png"}) {
        fs::path copy = folder / fs::path(name).filename();
        fs::copy_file(fixtures / name, copy, fs::copy_options::overwrite_existing);
        auto source = ImageSource::open(copy, rules);
        ASSERT_TRUE(source) << name;
        // Every output below comes from the pixels decoded above: the file is empty now.
        writeBytes(copy, "");

        for (const ExportSpec& spec : specs) {
            fs::path shared = folder / "shared" / spec.folder / "photo.jpg";
            fs::path separate = folder / "separate" / spec.folder / "photo.jpg";
            auto once = ImageExporter(spec.quality).exportImage(source.value(), shared, spec.rule);
            ASSERT_TRUE(once) << name << " " << spec.folder;
            ASSERT_TRUE(exportTo(fixtures / name, separate, spec.rule, spec.quality));
            EXPECT_EQ(test::readFile(shared), test::readFile(separate))
                << name << " " << spec.folder;
        }
    }
}

TEST_F(ImageExporterTest, AJpegKeptForTheSameSizeAndQualityIsWrittenWithoutEncoding) {
    writePhoto(folder / "source.png", 300, 200);
    auto source = ImageSource::open(folder / "source.png", {SizeRule::width(150)});
    ASSERT_TRUE(source);
    source.value().keepJpeg({150, 100}, 85, "kept for 150x100 at 85");

    struct Case {
        SizeRule rule;
        double quality;
        bool kept;
    };
    const Case cases[] = {
        {SizeRule::width(150), 0.85, true},
        {SizeRule::longEdge(150), 0.851, true},
        {SizeRule::width(150), 0.86, false},
        {SizeRule::width(149), 0.85, false},
    };
    for (const Case& c : cases) {
        std::string label = c.rule.description() + " " + std::to_string(c.quality);
        ASSERT_TRUE(ImageExporter(c.quality).exportImage(source.value(), destination(), c.rule))
            << label;
        EXPECT_EQ(test::readFile(destination()) == "kept for 150x100 at 85", c.kept) << label;
    }
}

TEST_F(ImageExporterTest, ConcurrentExportsWriteWhatSerialOnesWrite) {
    const std::filesystem::path fixtures = test::fixtures();
    const std::vector<fs::path> sources = {
        fixtures / "orientation" / "Landscape_5.jpg", fixtures / "orientation" / "Landscape_8.jpg",
        fixtures / "heic" / "img_751.heic",           fixtures / "alpha" / "blackbug.png",
        fixtures / "webp" / "transparent.webp",       fixtures / "multi" / "cogs.gif",
    };
    const SizeRule rules[] = {SizeRule::width(1080), SizeRule::longEdge(600), SizeRule::width(320)};
    auto name = [](size_t source, size_t rule) {
        return std::to_string(source) + "-" + std::to_string(rule) + ".jpg";
    };

    std::map<std::string, std::string> serial;
    for (size_t s = 0; s < sources.size(); ++s)
        for (size_t r = 0; r < 3; ++r) {
            ASSERT_TRUE(exportTo(sources[s], folder / "serial" / name(s, r), rules[r]));
            serial[name(s, r)] = test::readFile(folder / "serial" / name(s, r));
        }

    {
        std::vector<std::jthread> workers;
        for (size_t r = 0; r < 3; ++r)
            workers.emplace_back([&, r] {
                for (size_t s = 0; s < sources.size(); ++s)
                    EXPECT_TRUE(exportTo(sources[s], folder / "parallel" / name(s, r), rules[r]));
            });
    }
    for (const auto& [file, bytes] : serial)
        EXPECT_EQ(test::readFile(folder / "parallel" / file), bytes) << file;
}

} // namespace

namespace {

// The list the desktop entries offer Plenwick for is exactly what the exporter decodes: a real
// file of every listed type exports, and the image types once offered but refused stay refused.
TEST_F(ImageExporterTest, TheListedImageTypesAreTheOnesDecoded) {
    struct Case {
        const char* mimeType;
        const char* file;
    };
    // The vips program writes each of these from the same pixels (it may use the loaders this
    // process blocks); the exporter judges them by their content.
    const Case cases[] = {
        {"image/jpeg", "photo.jpg"},  {"image/png", "photo.png"},   {"image/gif", "photo.gif"},
        {"image/tiff", "photo.tif"},  {"image/webp", "photo.webp"}, {"image/heic", "photo.heic"},
        {"image/heif", "photo.heif"}, {"image/avif", "photo.avif"}, {"image/bmp", "photo.bmp"},
        {"image/jp2", "photo.jp2"},   {"image/jxl", "photo.jxl"},
    };
    fs::path pixels = folder / "pixels.png";
    writePhoto(pixels, 320, 240);
    for (std::string_view listed : ImageTypes::mimeTypes)
        EXPECT_TRUE(std::any_of(std::begin(cases), std::end(cases),
                                [&](const Case& c) { return c.mimeType == listed; }))
            << listed << " is listed but has no sample here";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mimeType);
        fs::path source = folder / c.file;
        test::ChildProcess::Exit written =
            test::ChildProcess({{"/usr/bin/vips", "copy", pixels.string(), source.string()}, {}})
                .wait();
        ASSERT_EQ(written.status, 0) << written.standardError;
        bool listed = std::find(ImageTypes::mimeTypes.begin(), ImageTypes::mimeTypes.end(),
                                c.mimeType) != ImageTypes::mimeTypes.end();
        auto result = exportTo(source, destination(std::string(c.file) + ".jpg"));
        EXPECT_EQ(static_cast<bool>(result), listed);
        if (result) {
            EXPECT_EQ(result.value(), (PixelSize{320, 240}));
        }
    }
}

} // namespace
