#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <vector>

#include <vips/vips8>

using vips::VImage;

namespace {

// 1 inside the disc, 0 outside, with a one-pixel soft edge.
VImage disc(const VImage& x, const VImage& y, double cx, double cy, double radius) {
    VImage inside = radius + 0.5 - ((x - cx).pow(2) + (y - cy).pow(2)).pow(0.5);
    return (inside < 0.0).ifthenelse(0.0, (inside > 1.0).ifthenelse(1.0, inside));
}

VImage mix(const VImage& under, const std::vector<double>& colour, const VImage& amount) {
    return under * (1 - amount) + amount * colour;
}

// An upright landscape: sky over ground, a sun at the upper left and an arrow pointing up, so
// that any turn or mirror shows at a glance. Sensor noise makes a JPEG weigh what a photo weighs;
// the HEVC encoder takes seconds over it, so the HEIC goes without.
VImage scene(int width, int height, bool noisy) {
    VImage xy = VImage::xyz(width, height);
    VImage x = xy.extract_band(0).cast(VIPS_FORMAT_FLOAT);
    VImage y = xy.extract_band(1).cast(VIPS_FORMAT_FLOAT);
    VImage fy = y / height;

    VImage sky = (fy * 120 + 60).bandjoin(fy * 110 + 120).bandjoin(255 - fy * 40);
    VImage ground = (fy * -60 + 120).bandjoin(200 - fy * 90).bandjoin(fy * 0 + 60);
    VImage picture = (fy < 0.62).ifthenelse(sky, ground);

    double unit = std::min(width, height) / 100.0;
    picture = mix(picture, {255, 220, 90}, disc(x, y, width * 0.18, height * 0.2, 9 * unit));

    // The arrow: a triangle over a shaft, in the middle of the picture.
    double cx = width * 0.62, top = height * 0.18, head = 22 * unit, shaft = 32 * unit;
    VImage inHead = (y >= top) & (y < top + head) & ((x - cx).abs() <= (y - top) * 0.8);
    VImage inShaft = (y >= top + head) & (y < top + head + shaft) & ((x - cx).abs() <= 5 * unit);
    picture = (inHead | inShaft).ifthenelse(std::vector<double>{200, 30, 40}, picture);

    if (noisy)
        picture =
            picture + VImage::gaussnoise(width, height,
                                         VImage::option()->set("mean", 0.0)->set("sigma", 4.0));
    return picture.cast(VIPS_FORMAT_UCHAR);
}

// A round badge on a transparent square: the corners and the ring's inside are see-through.
VImage logo(int size) {
    VImage xy = VImage::xyz(size, size);
    VImage x = xy.extract_band(0).cast(VIPS_FORMAT_FLOAT);
    VImage y = xy.extract_band(1).cast(VIPS_FORMAT_FLOAT);
    double centre = size / 2.0;
    VImage outer = disc(x, y, centre, centre, size * 0.45);
    VImage inner = disc(x, y, centre, centre, size * 0.3);
    VImage dot = disc(x, y, centre, centre, size * 0.12);
    VImage alpha = (outer - inner + dot) * 255;
    VImage colour = VImage::black(size, size, VImage::option()->set("bands", 3)) +
                    std::vector<double>{40, 110, 220};
    return colour.bandjoin(alpha).cast(VIPS_FORMAT_UCHAR);
}

// Two frames stacked as libvips keeps animations: a ball that hops from left to right.
VImage animation(int width, int height) {
    VImage xy = VImage::xyz(width, height * 2);
    VImage x = xy.extract_band(0).cast(VIPS_FORMAT_FLOAT);
    VImage y = xy.extract_band(1).cast(VIPS_FORMAT_FLOAT);
    VImage background = VImage::black(width, height * 2, VImage::option()->set("bands", 3)) +
                        std::vector<double>{250, 245, 230};
    double radius = height * 0.2;
    VImage balls = disc(x, y, width * 0.3, height * 0.5, radius) +
                   disc(x, y, width * 0.7, height * 1.5, radius);
    VImage frames = mix(background, {230, 80, 40}, balls).cast(VIPS_FORMAT_UCHAR).copy();
    frames.set(VIPS_META_PAGE_HEIGHT, height);
    frames.set(VIPS_META_N_PAGES, 2);
    frames.set("delay", std::vector<int>{500, 500});
    frames.set("loop", 0);
    return frames;
}

void writeSamples(const std::filesystem::path& folder) {
    // A phone held upright stores its sensor's landscape pixels and says in EXIF how to turn
    // them: orientation 6, a quarter turn clockwise.
    VImage portrait = scene(3024, 4032, true).rot270().copy();
    portrait.set(VIPS_META_ORIENTATION, 6);
    portrait.jpegsave((folder / "phone-portrait.jpg").c_str(), VImage::option()->set("Q", 92));

    logo(1024).pngsave((folder / "logo.png").c_str());

    scene(4032, 3024, false)
        .heifsave((folder / "iphone.heic").c_str(), VImage::option()->set("Q", 60));

    animation(320, 240).gifsave((folder / "animation.gif").c_str());
}

} // namespace

int main(int argc, char** argv) {
    if (VIPS_INIT(argv[0]) != 0) {
        std::fprintf(stderr, "plenwick-samples: %s\n", vips_error_buffer());
        return 1;
    }
    if (argc != 2) {
        std::fprintf(stderr, "usage: plenwick-samples FOLDER\n");
        return 2;
    }
    std::filesystem::path folder = argv[1];
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) {
        std::fprintf(stderr, "plenwick-samples: %s: %s\n", argv[1], error.message().c_str());
        return 1;
    }
    try {
        writeSamples(folder);
    } catch (const vips::VError& failure) {
        std::fprintf(stderr, "plenwick-samples: %s\n", failure.what());
        return 1;
    }
    return 0;
}
