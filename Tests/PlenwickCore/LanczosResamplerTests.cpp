#include "PlenwickCore/ImageLibrary.hpp"
#include "PlenwickCore/LanczosResampler.hpp"
#include "TestSupport.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
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

// The textbook definition, in doubles and one sample at a time: each output sample is the
// normalised Lanczos 3 sum over the source, the kernel stretched by the shrink factor, pixel
// centres matched, edges repeated.
Pixels definition(const Pixels& pixels, PixelSize from, PixelSize to, int bands) {
    auto weight = [](double x) {
        if (x == 0.0)
            return 1.0;
        if (std::abs(x) >= 3.0)
            return 0.0;
        const double px = std::numbers::pi * x;
        return 3.0 * std::sin(px) * std::sin(px / 3.0) / (px * px);
    };
    // For each output position along an axis: the source position and weight of every tap.
    auto taps = [&](int64_t in, int64_t out) {
        std::vector<std::vector<std::pair<int64_t, double>>> all(static_cast<size_t>(out));
        const double scale = static_cast<double>(in) / static_cast<double>(out);
        const double stretch = std::max(1.0, scale);
        for (int64_t o = 0; o < out; ++o) {
            const double centre = (static_cast<double>(o) + 0.5) * scale - 0.5;
            double sum = 0.0;
            for (auto i = static_cast<int64_t>(centre - 3.0 * stretch) - 1;
                 i <= static_cast<int64_t>(centre + 3.0 * stretch) + 1; ++i) {
                const double w = weight((static_cast<double>(i) - centre) / stretch);
                all[o].emplace_back(std::clamp<int64_t>(i, 0, in - 1), w);
                sum += w;
            }
            for (auto& tap : all[o])
                tap.second /= sum;
        }
        return all;
    };
    const auto across = taps(from.width, to.width);
    const auto down = taps(from.height, to.height);
    Pixels out(static_cast<size_t>(to.width * to.height * bands));
    for (int64_t y = 0; y < to.height; ++y)
        for (int64_t x = 0; x < to.width; ++x)
            for (int band = 0; band < bands; ++band) {
                double sum = 0.0;
                for (auto [row, rowWeight] : down[y])
                    for (auto [column, columnWeight] : across[x])
                        sum +=
                            rowWeight * columnWeight *
                            pixels[static_cast<size_t>((row * from.width + column) * bands + band)];
                out[static_cast<size_t>((y * to.width + x) * bands + band)] =
                    static_cast<uint8_t>(std::clamp(std::lround(sum), 0L, 255L));
            }
    return out;
}

// A real photo's pixels with 1 to 5 bands (the extra ones copies of the colours).
Pixels photo(int bands, PixelSize& size) {
    VImage rgb = VImage::new_from_file(
                     (test::fixtures() / "orientation" / "hopper_orientation_6.jpg").c_str())
                     .colourspace(VIPS_INTERPRETATION_sRGB);
    VImage image = bands <= 3
                       ? rgb.extract_band(0, VImage::option()->set("n", bands))
                       : rgb.bandjoin(rgb.extract_band(0, VImage::option()->set("n", bands - 3)));
    image = image.cast(VIPS_FORMAT_UCHAR).copy_memory();
    size = {image.width(), image.height()};
    const auto* data = static_cast<const uint8_t*>(image.data());
    return Pixels(data, data + size.width * size.height * bands);
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
        {3, 128, 64},  // one axis kept
        {3, 256, 192}, // enlarged
        {3, 1, 1},     {1, 64, 42}, {2, 64, 42},
        {4, 64, 42},   {5, 64, 42}, // more bands than one vector holds
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.bands << " bands to " << c.width << "x" << c.height);
        PixelSize from;
        const Pixels source = photo(c.bands, from);
        const PixelSize to{c.width, c.height};
        const Pixels mine = resample(source, from, to, c.bands);
        const Pixels defined = definition(source, from, to, c.bands);
        ASSERT_EQ(mine.size(), defined.size());
        int largest = 0;
        double total = 0.0;
        for (size_t i = 0; i < mine.size(); ++i) {
            const int difference = std::abs(int(mine[i]) - int(defined[i]));
            largest = std::max(largest, difference);
            total += difference;
        }
        // Fixed-point and single-precision arithmetic round a sample the other way now and then.
        EXPECT_LE(largest, 1);
        EXPECT_LT(total / static_cast<double>(mine.size()), 0.02);
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
