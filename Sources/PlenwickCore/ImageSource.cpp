#include "PlenwickCore/ImageSource.hpp"

#include "PlenwickCore/ImageLibrary.hpp"
#include "PlenwickCore/LanczosResampler.hpp"
#include "PlenwickCore/TargetSize.hpp"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <optional>
#include <string_view>
#include <utility>

#include <vips/vips8>

namespace plenwick {

namespace {

using vips::VError;
using vips::VImage;
using vips::VOption;
using vips::VSource;

// Larger images are refused from their header: decoding one would take gigabytes.
constexpr int64_t maximumPixels = 500'000'000;

enum class Format { jpeg, heif, webp, png, gif, tiff };

// The loaders libvips trusts with hostile files, by the class it picks from the file's bytes.
// Everything else it could open (ImageMagick, PDF, SVG, matrix text files, ...) stays closed.
std::optional<Format> formatOfLoader(std::string_view loader) {
    static constexpr std::pair<std::string_view, Format> trusted[] = {
        {"VipsForeignLoadJpegSource", Format::jpeg}, {"VipsForeignLoadHeifSource", Format::heif},
        {"VipsForeignLoadWebpSource", Format::webp}, {"VipsForeignLoadPngSource", Format::png},
        {"VipsForeignLoadNsgifSource", Format::gif}, {"VipsForeignLoadTiffSource", Format::tiff},
    };
    for (const auto& [name, format] : trusted)
        if (loader == name)
            return format;
    return std::nullopt;
}

// How image 0 is stored: its pixel size and the turn that makes it upright.
struct Geometry {
    PixelSize stored;
    // EXIF orientation 1 to 8; 1 when the decoder already delivers upright pixels.
    int orientation = 1;

    bool turnsQuarter() const { return orientation >= 5 && orientation <= 8; }
    PixelSize upright() const {
        return turnsQuarter() ? PixelSize{stored.height, stored.width} : stored;
    }
    // A size given upright, in the orientation the pixels are stored in.
    PixelSize asStored(PixelSize uprightSize) const {
        return turnsQuarter() ? PixelSize{uprightSize.height, uprightSize.width} : uprightSize;
    }
};

// Image 0 of a file as its header describes it; no pixel has been decoded yet.
struct OpenedSource {
    std::string filename;
    Format format;
    VImage header;
    Geometry geometry;
};

// Sequential access streams the decode through the pipeline instead of buffering the whole
// image; failing on errors turns a truncated or corrupt file into an error, not grey rows.
VOption* loadOptions() {
    return VImage::option()
        ->set("access", VIPS_ACCESS_SEQUENTIAL)
        ->set("fail_on", VIPS_FAIL_ON_ERROR);
}

// Files are read through sources: libvips' file loaders take a name ending in "[...]" for
// loader options, and "holiday [2]" is a perfectly good file name.
VImage load(Format format, const VSource& source, VOption* options) {
    // Multi-image files give their first image: libvips loads one page unless asked for more,
    // and for HEIF that page is the file's primary image.
    switch (format) {
    case Format::jpeg:
        return VImage::jpegload_source(source, options);
    case Format::heif:
        return VImage::heifload_source(source, options);
    case Format::webp:
        return VImage::webpload_source(source, options);
    case Format::png:
        return VImage::pngload_source(source, options);
    case Format::gif:
        return VImage::gifload_source(source, options);
    case Format::tiff:
        break;
    }
    return VImage::tiffload_source(source, options);
}

// Whether every chunk of a PNG fits in the file. libpng allocates a chunk's buffer at the length
// its header claims before reading it, so a 1 kB file claiming a 2 GB text chunk would take
// 2 GB; a chunk running past the end only ever belongs to a damaged file.
bool pngChunksFit(const std::string& filename) {
    std::ifstream file(filename, std::ios::binary);
    file.seekg(0, std::ios::end);
    const std::streamoff size = file.tellg();
    std::streamoff offset = 8;
    while (file && offset + 8 <= size) {
        unsigned char header[8];
        file.seekg(offset);
        if (!file.read(reinterpret_cast<char*>(header), sizeof header))
            return false;
        const uint32_t length = (uint32_t{header[0]} << 24) | (uint32_t{header[1]} << 16) |
                                (uint32_t{header[2]} << 8) | header[3];
        // Length, type, data and CRC.
        offset += 12 + static_cast<std::streamoff>(length);
        if (length > 0x7FFFFFFF || offset > size)
            return false;
        if (std::string_view(reinterpret_cast<const char*>(header) + 4, 4) == "IEND")
            return true;
    }
    return static_cast<bool>(file);
}

// Nothing when the file is not in a format we decode; throws VError for a file that cannot be
// opened or a header that the loader rejects.
std::optional<OpenedSource> readHeader(const std::filesystem::path& source) {
    std::string filename = source.string();
    VSource file = VSource::new_from_file(filename.c_str());
    const char* loader = vips_foreign_find_load_source(file.get_source());
    if (!loader) {
        // The exporter gives no reasons; libvips' are dropped so that its buffer, shared by the
        // whole process, does not fill up with them.
        vips_error_clear();
        return std::nullopt;
    }
    std::optional<Format> format = formatOfLoader(loader);
    if (!format || (*format == Format::png && !pngChunksFit(filename)))
        return std::nullopt;

    VImage header = load(*format, file, loadOptions());
    int orientation = 1;
    // libheif applies the container's rotation and mirroring while decoding, and libvips drops
    // the orientation of HEIF files for that reason; a stale EXIF value must not turn it again.
    if (*format != Format::heif && header.get_typeof(VIPS_META_ORIENTATION) != 0)
        orientation = header.get_int(VIPS_META_ORIENTATION);
    if (orientation < 1 || orientation > 8)
        orientation = 1;
    return OpenedSource{std::move(filename), *format, header,
                        Geometry{PixelSize{header.width(), header.height()}, orientation}};
}

// The largest DCT scaling whose decoded edges still cover the target, so that the resampler
// always shrinks; libvips' own choice leaves far more pixels than the target needs. libvips
// rounds a shrunk edge down, and an edge of 0 would abort the process.
int jpegShrink(PixelSize stored, PixelSize atLeast) {
    for (int shrink : {8, 4, 2})
        if (stored.width / shrink >= atLeast.width && stored.height / shrink >= atLeast.height)
            return shrink;
    return 1;
}

// Phones tag their photos Display P3, cameras Adobe RGB: an embedded profile is honoured, so
// that colours look the same once the output is read as sRGB.
VImage fromProfile(const VImage& image) {
    auto options = [] { return VImage::option()->set("embedded", true)->set("depth", 8); };
    if (!image.has_alpha())
        return image.icc_transform("srgb", options());
    // The transform clips a 16-bit alpha to 255 instead of scaling it, so alpha is brought to
    // 8 bits on its own.
    int colours = image.bands() - 1;
    VImage alpha = image.extract_band(colours);
    VipsInterpretation interpretation = image.interpretation();
    if (interpretation == VIPS_INTERPRETATION_RGB16 || interpretation == VIPS_INTERPRETATION_GREY16)
        alpha = alpha / 257.0 + 0.5;
    return image.extract_band(0, VImage::option()->set("n", colours))
        .icc_transform("srgb", options())
        .bandjoin(alpha.cast(VIPS_FORMAT_UCHAR));
}

// 8-bit sRGB, with alpha when the image has it. Without a usable profile, libvips' own
// conversions bring grey, 16-bit and CMYK pixels there.
VImage toSRGB(const VImage& image) {
    if (image.get_typeof(VIPS_META_ICC_NAME) != 0) {
        try {
            return fromProfile(image);
        } catch (const VError&) {
            // A profile that does not fit the pixels (an RGB profile on a grey image) is
            // ignored, as viewers ignore it; libvips already skips a corrupt one itself.
            vips_error_clear();
        }
    }
    return image.colourspace(VIPS_INTERPRETATION_sRGB);
}

// The decoded pixels of image 0 at the smallest scale that still covers `atLeast` (in stored
// orientation), 8-bit sRGB, opaque over white. Lazy: the file is read when pixels are asked for.
VImage decode(const OpenedSource& opened, PixelSize atLeast) {
    VImage image = opened.header;
    if (opened.format == Format::jpeg) {
        int shrink = jpegShrink(opened.geometry.stored, atLeast);
        if (shrink > 1)
            image = load(Format::jpeg, VSource::new_from_file(opened.filename.c_str()),
                         loadOptions()->set("shrink", shrink));
    } else if (opened.format == Format::webp) {
        double scale =
            std::max(static_cast<double>(atLeast.width) / opened.geometry.stored.width,
                     static_cast<double>(atLeast.height) / opened.geometry.stored.height);
        if (scale < 1.0)
            image = load(Format::webp, VSource::new_from_file(opened.filename.c_str()),
                         loadOptions()->set("scale", scale));
    }
    // libheif always decodes HEIF at full size; PNG, GIF and TIFF have no reduced decode.

    image = toSRGB(image);
    if (image.has_alpha())
        image =
            image.flatten(VImage::option()->set("background", std::vector<double>{255, 255, 255}));
    return image.format() == VIPS_FORMAT_UCHAR ? image : image.cast(VIPS_FORMAT_UCHAR);
}

// PNG, GIF, TIFF and HEIF have no reduced decode, so a huge one would be held at full size for
// all its outputs, three inputs at a time. Above this many pixels the decode is box-shrunk first,
// to no less than twice every output edge, which leaves the Lanczos resample its detail.
constexpr double heldPixelBudget = 50'000'000;

VImage boundedForHolding(const VImage& decoded, PixelSize wanted) {
    if (static_cast<double>(decoded.width()) * decoded.height() <= heldPixelBudget)
        return decoded;
    int64_t factor =
        std::min(decoded.width() / (2 * wanted.width), decoded.height() / (2 * wanted.height));
    if (factor < 2)
        return decoded;
    return decoded.shrink(static_cast<double>(factor), static_cast<double>(factor));
}

// `image`, 8-bit and in memory at `pixels`, resampled to exactly `size` with Lanczos 3, into
// memory.
VImage resampled(const VImage& image, const uint8_t* pixels, PixelSize size) {
    if (image.width() == size.width && image.height() == size.height)
        return image;
    LanczosResampler resampler(PixelSize{image.width(), image.height()}, size, image.bands());
    VImage result = VImage::new_memory();
    vips_image_init_fields(result.get_image(), static_cast<int>(size.width),
                           static_cast<int>(size.height), image.bands(), VIPS_FORMAT_UCHAR,
                           VIPS_CODING_NONE, image.interpretation(), image.xres(), image.yres());
    for (int64_t y = 0; y < size.height; ++y) {
        // libvips copies the row into the image's own memory.
        auto* line = const_cast<uint8_t*>(resampler.row(pixels, y));
        if (vips_image_write_line(result.get_image(), static_cast<int>(y), line) != 0)
            throw VError();
    }
    return result;
}

} // namespace

// Only what rendering needs: the loader, its file and what it holds go once decoding is done.
struct ImageSource::Pixels {
    Geometry geometry;
    // 8-bit sRGB, opaque, as stored, at the scale chosen when opening; in memory.
    VImage held;
    // Taken once here: libvips may not be asked for it from several threads at once.
    const uint8_t* pixels;
};

ImageSource::ImageSource(std::filesystem::path path, std::shared_ptr<const Pixels> pixels)
    : m_path(std::move(path)), m_pixels(std::move(pixels)) {}

Expected<ImageSource, ExportError> ImageSource::open(const std::filesystem::path& source,
                                                     const std::vector<SizeRule>& rules) {
    if (!ImageLibrary::start("plenwick"))
        return ExportError::unreadable(source);
    try {
        std::optional<OpenedSource> opened = readHeader(source);
        if (!opened)
            return ExportError::unreadable(source);
        const Geometry geometry = opened->geometry;
        if (geometry.stored.width < 1 || geometry.stored.height < 1 ||
            geometry.stored.width * geometry.stored.height > maximumPixels)
            return ExportError::unreadable(source);
        PixelSize largest{1, 1};
        for (SizeRule rule : rules) {
            PixelSize target = geometry.asStored(TargetSize::compute(geometry.upright(), rule));
            largest = {std::max(largest.width, target.width),
                       std::max(largest.height, target.height)};
        }
        // The whole decode runs here, once, so that a broken file shows itself before anything
        // is written and every output is resampled from the same pixels.
        VImage held = boundedForHolding(decode(*opened, largest), largest).copy_memory();
        const auto* pixels = static_cast<const uint8_t*>(held.data());
        if (!pixels)
            throw VError();
        return ImageSource(source, std::make_shared<const Pixels>(Pixels{geometry, held, pixels}));
    } catch (const VError&) {
        // The exporter gives no reasons; libvips' are dropped so that its buffer, shared by the
        // whole process, does not fill up with them.
        vips_error_clear();
        return ExportError::unreadable(source);
    }
}

PixelSize ImageSource::uprightSize() const {
    return m_pixels->geometry.upright();
}

VImage ImageSource::render(PixelSize size) const {
    const Geometry& geometry = m_pixels->geometry;
    // Rotating after the resample turns the small image, not the large one; both are in memory,
    // so the turn's out-of-order reads cost nothing extra.
    VImage image = resampled(m_pixels->held, m_pixels->pixels, geometry.asStored(size));
    if (geometry.orientation == 1)
        return image;
    switch (geometry.orientation) {
    case 2:
        return image.fliphor();
    case 3:
        return image.rot180();
    case 4:
        return image.flipver();
    case 5:
        return image.rot90().fliphor();
    case 6:
        return image.rot90();
    case 7:
        return image.rot270().fliphor();
    default:
        return image.rot270();
    }
}

const std::string* ImageSource::keptJpeg(PixelSize size, int q) const {
    for (const KeptJpeg& jpeg : m_jpegs)
        if (jpeg.size == size && jpeg.q == q)
            return &jpeg.bytes;
    return nullptr;
}

const std::string& ImageSource::keepJpeg(PixelSize size, int q, std::string bytes) {
    return m_jpegs.emplace_back(KeptJpeg{size, q, std::move(bytes)}).bytes;
}

} // namespace plenwick
