#include "PlenwickCore/ImageLibrary.hpp"
#include "PlenwickCore/LanczosResampler.hpp"
#include "TestSupport.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <malloc.h>
#include <numbers>
#include <vector>

#include <gtest/gtest.h>
#include <vips/vips8>

using namespace plenwick;
using vips::VImage;

namespace {

using Pixels = std::vector<uint8_t>;

Pixels resample(const Pixels& pixels, PixelSize from, PixelSize to, int bands) {
    LanczosResampler resampler(from, to, bands);
    const size_t line = static_cast<size_t>(to.width * bands);
    Pixels out(line * static_cast<size_t>(to.height));
    for (int64_t y = 0; y < to.height; ++y)
        std::memcpy(out.data() + static_cast<size_t>(y) * line, resampler.row(pixels.data(), y),
                    line);
    return out;
}

// The pixels in a box along an axis resampled from `from` to `to`: one reduced sixteen times or
// more is first averaged over boxes of an eighth of that.
int64_t boxOf(int64_t from, int64_t to) {
    return std::max<int64_t>(1, from / (8 * to));
}

// The textbook definition, in doubles, one axis after the other: each output sample is the
// normalised Lanczos 3 sum over the source, the kernel stretched by the shrink factor, pixel
// centres matched, edges repeated. With `boxFirst`, the sum runs over the boxes instead, each
// rounded to the nearest byte (ties to even) and placed at the centre of its pixels.
Pixels definition(const Pixels& pixels, PixelSize from, PixelSize to, int bands, bool boxFirst) {
    auto weight = [](double x) {
        if (x == 0.0)
            return 1.0;
        if (std::abs(x) >= 3.0)
            return 0.0;
        const double px = std::numbers::pi * x;
        return 3.0 * std::sin(px) * std::sin(px / 3.0) / (px * px);
    };
    const int64_t boxWidth = boxFirst ? boxOf(from.width, to.width) : 1;
    const int64_t boxHeight = boxFirst ? boxOf(from.height, to.height) : 1;
    const PixelSize boxes{(from.width + boxWidth - 1) / boxWidth,
                          (from.height + boxHeight - 1) / boxHeight};
    std::vector<double> boxed(static_cast<size_t>(boxes.width * boxes.height * bands));
    for (int64_t j = 0; j < boxes.height; ++j)
        for (int64_t i = 0; i < boxes.width; ++i)
            for (int band = 0; band < bands; ++band) {
                double sum = 0.0;
                int64_t count = 0;
                for (int64_t y = j * boxHeight; y < std::min((j + 1) * boxHeight, from.height); ++y)
                    for (int64_t x = i * boxWidth; x < std::min((i + 1) * boxWidth, from.width);
                         ++x, ++count)
                        sum += pixels[static_cast<size_t>((y * from.width + x) * bands + band)];
                boxed[static_cast<size_t>((j * boxes.width + i) * bands + band)] =
                    std::nearbyint(sum / static_cast<double>(count));
            }
    // For each output position along an axis: the box and weight of every tap.
    auto taps = [&](int64_t in, int64_t out, int64_t box, int64_t count) {
        std::vector<std::vector<std::pair<int64_t, double>>> all(static_cast<size_t>(out));
        const double scale = static_cast<double>(in) / static_cast<double>(out);
        const double stretch = std::max(1.0, scale);
        const auto size = static_cast<double>(box);
        for (int64_t o = 0; o < out; ++o) {
            const double centre = (static_cast<double>(o) + 0.5) * scale - 0.5;
            double sum = 0.0;
            for (auto i = static_cast<int64_t>((centre - 3.0 * stretch) / size) - 2;
                 i <= static_cast<int64_t>((centre + 3.0 * stretch) / size) + 2; ++i) {
                const double position = (static_cast<double>(i) + 0.5) * size - 0.5;
                const double w = weight((position - centre) / stretch);
                all[o].emplace_back(std::clamp<int64_t>(i, 0, count - 1), w);
                sum += w;
            }
            for (auto& tap : all[o])
                tap.second /= sum;
        }
        return all;
    };
    const auto across = taps(from.width, to.width, boxWidth, boxes.width);
    const auto down = taps(from.height, to.height, boxHeight, boxes.height);
    std::vector<double> rows(static_cast<size_t>(boxes.width * to.height * bands));
    for (int64_t y = 0; y < to.height; ++y)
        for (int64_t x = 0; x < boxes.width * bands; ++x)
            for (auto [row, rowWeight] : down[y])
                rows[static_cast<size_t>(y * boxes.width * bands + x)] +=
                    rowWeight * boxed[static_cast<size_t>(row * boxes.width * bands + x)];
    Pixels out(static_cast<size_t>(to.width * to.height * bands));
    for (int64_t y = 0; y < to.height; ++y)
        for (int64_t x = 0; x < to.width; ++x)
            for (int band = 0; band < bands; ++band) {
                double sum = 0.0;
                for (auto [column, columnWeight] : across[x])
                    sum += columnWeight *
                           rows[static_cast<size_t>((y * boxes.width + column) * bands + band)];
                out[static_cast<size_t>((y * to.width + x) * bands + band)] =
                    static_cast<uint8_t>(std::clamp(std::lround(sum), 0L, 255L));
            }
    return out;
}

// A real photo's pixels, sRGB, with 1 to 5 bands (the extra ones copies of the colours).
Pixels photo(const std::string& fixture, int bands, PixelSize& size) {
    VImage rgb = VImage::new_from_file((test::fixtures() / fixture).c_str())
                     .colourspace(VIPS_INTERPRETATION_sRGB);
    VImage image = bands <= 3
                       ? rgb.extract_band(0, VImage::option()->set("n", bands))
                       : rgb.bandjoin(rgb.extract_band(0, VImage::option()->set("n", bands - 3)));
    image = image.cast(VIPS_FORMAT_UCHAR).copy_memory();
    size = {image.width(), image.height()};
    const auto* data = static_cast<const uint8_t*>(image.data());
    return Pixels(data, data + size.width * size.height * bands);
}

Pixels photo(int bands, PixelSize& size) {
    return photo("orientation/hopper_orientation_6.jpg", bands, size);
}

struct Difference {
    int largest = 0;
    double mean = 0.0;
};

Difference compare(const Pixels& a, const Pixels& b) {
    Difference difference;
    double total = 0.0;
    for (size_t i = 0; i < a.size(); ++i) {
        const int d = std::abs(int(a[i]) - int(b[i]));
        difference.largest = std::max(difference.largest, d);
        total += d;
    }
    difference.mean = total / static_cast<double>(a.size());
    return difference;
}

} // namespace

TEST(LanczosResampler, ComputesTheKernelAsDefinedOnARealPhoto) {
    ASSERT_TRUE(ImageLibrary::start("plenwick-tests"));
    struct Case {
        int bands;
        int64_t width;
        int64_t height;
    };
    // The photo is 128 by 128.
    const Case cases[] = {
        {3, 96, 96},   // the large output's usual shrink
        {3, 51, 51},   // the small output's
        {3, 18, 42},   // unequal axes, one shrunk sevenfold
        {3, 8, 8},     // sixteenfold: the least reduction that is box-shrunk first
        {3, 5, 7},     // boxes of three, the last one short, and of two
        {3, 3, 128},   // one axis box-shrunk, the other kept
        {3, 128, 64},  // one axis kept
        {3, 256, 192}, // enlarged
        {3, 1, 1},     {1, 64, 42}, {2, 64, 42},
        {4, 64, 42},   {5, 64, 42}, // more bands than one vector holds
        {1, 5, 7},     {5, 5, 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.bands << " bands to " << c.width << "x" << c.height);
        PixelSize from;
        const Pixels source = photo(c.bands, from);
        const PixelSize to{c.width, c.height};
        const Pixels mine = resample(source, from, to, c.bands);
        const Pixels defined = definition(source, from, to, c.bands, true);
        ASSERT_EQ(mine.size(), defined.size());
        const Difference difference = compare(mine, defined);
        // Fixed-point and single-precision arithmetic round a sample the other way now and then.
        EXPECT_LE(difference.largest, 1);
        EXPECT_LT(difference.mean, 0.02);
    }
}

TEST(LanczosResampler, PlacesItsKernelWhereLibvipsDoes) {
    ASSERT_TRUE(ImageLibrary::start("plenwick-tests"));
    PixelSize from;
    const Pixels source = photo(3, from);
    VImage image = VImage::new_from_memory(const_cast<uint8_t*>(source.data()), source.size(),
                                           static_cast<int>(from.width),
                                           static_cast<int>(from.height), 3, VIPS_FORMAT_UCHAR);
    for (PixelSize to : {PixelSize{96, 96}, PixelSize{51, 64}}) {
        SCOPED_TRACE(testing::Message() << to.width << "x" << to.height);
        const Pixels mine = resample(source, from, to, 3);
        VImage theirs = image
                            .resize(static_cast<double>(to.width) / static_cast<double>(from.width),
                                    VImage::option()
                                        ->set("vscale", static_cast<double>(to.height) /
                                                            static_cast<double>(from.height))
                                        ->set("kernel", VIPS_KERNEL_LANCZOS3))
                            .copy_memory();
        ASSERT_EQ(theirs.width(), to.width);
        ASSERT_EQ(theirs.height(), to.height);
        const auto* theirPixels = static_cast<const uint8_t*>(theirs.data());
        // libvips pads its edges its own way and quantises its kernel's offsets, so only the
        // mean over the inside is compared: a kernel half a pixel off misses by several levels.
        constexpr int64_t margin = 4;
        double total = 0.0;
        int64_t count = 0;
        for (int64_t y = margin; y < to.height - margin; ++y)
            for (int64_t x = margin * 3; x < (to.width - margin) * 3; ++x, ++count) {
                const size_t i = static_cast<size_t>(y * to.width * 3 + x);
                total += std::abs(int(mine[i]) - int(theirPixels[i]));
            }
        EXPECT_LT(total / static_cast<double>(count), 0.5);
    }
}

TEST(LanczosResampler, KeepsAFlatAreaFlatAtEverySize) {
    struct Case {
        PixelSize from;
        PixelSize to;
    };
    const Case cases[] = {
        {{2820, 9}, {2048, 7}}, {{9, 1586}, {3, 1152}}, {{1, 1}, {5, 3}},
        {{1, 40}, {1, 7}},      {{40, 1}, {3, 1}},      {{17, 19}, {1, 1}},
    };
    for (const Case& c : cases)
        for (int value : {0, 1, 128, 254, 255}) {
            SCOPED_TRACE(testing::Message() << c.from.width << "x" << c.from.height << " to "
                                            << c.to.width << "x" << c.to.height << " of " << value);
            const Pixels flat(static_cast<size_t>(c.from.width * c.from.height * 3),
                              static_cast<uint8_t>(value));
            const Pixels out = resample(flat, c.from, c.to, 3);
            EXPECT_EQ(out, Pixels(out.size(), static_cast<uint8_t>(value)));
        }
}

TEST(LanczosResampler, MovesRealPhotosLittleWhereItBoxShrinksFirst) {
    ASSERT_TRUE(ImageLibrary::start("plenwick-tests"));
    struct Case {
        const char* fixture;
        PixelSize to;
    };
    // Each reduced sixteen to thirty times, in boxes of two and three.
    const Case cases[] = {
        {"orientation/Landscape_1.jpg", {90, 60}}, {"heic/arrow.heic", {160, 213}},
        {"heic/arrow.heic", {100, 133}},           {"heic/example.heic", {80, 53}},
        {"heic/img_751.heic", {60, 45}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.fixture << " to " << c.to.width << "x" << c.to.height);
        PixelSize from;
        const Pixels source = photo(c.fixture, 3, from);
        const Difference difference =
            compare(resample(source, from, c.to, 3), definition(source, from, c.to, 3, false));
        // Against the kernel over every pixel, with nothing box-shrunk: one level at most from
        // 90 pixels up, where unboxed output is within one level too; up to three in the smallest
        // thumbnails, where a box is a larger part of the picture.
        EXPECT_LE(difference.largest, 3);
        EXPECT_LT(difference.mean, 0.15);
    }
}

TEST(LanczosResampler, TakesMemoryInProportionToItsOutputNotItsSource) {
    struct Case {
        PixelSize from;
        PixelSize to;
    };
    const Case cases[] = {
        {{9'000'000, 1}, {2048, 1}},
        {{1, 9'000'000}, {1, 2048}},
        {{400'000, 30}, {2048, 1}},
        {{4032, 3024}, {1080, 810}},
    };
    // What malloc has handed out and not taken back, from its heap and in mappings of their own.
    auto allocated = [] {
        const struct mallinfo2 info = mallinfo2();
        return static_cast<int64_t>(info.uordblks + info.hblkhd);
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.from.width << "x" << c.from.height << " to "
                                        << c.to.width << "x" << c.to.height);
        const Pixels source(static_cast<size_t>(c.from.width * c.from.height * 3), 128);
        const int64_t before = allocated();
        LanczosResampler resampler(c.from, c.to, 3);
        for (int64_t y = 0; y < c.to.height; ++y)
            ASSERT_EQ(resampler.row(source.data(), y)[0], 128);
        // Its tables and a few rows, for outputs of 2048 pixels: a few megabytes, where weights
        // for every source pixel took tens to hundreds of megabytes.
        EXPECT_LT(allocated() - before, 8 << 20);
    }
}
