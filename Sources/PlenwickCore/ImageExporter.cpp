#include "PlenwickCore/ImageExporter.hpp"

#include "PlatformServices/TemporaryFile.hpp"
#include "PlenwickCore/ImageSource.hpp"
#include "PlenwickCore/OutputPath.hpp"
#include "PlenwickCore/TargetSize.hpp"

#include <cmath>
#include <memory>
#include <optional>
#include <string>

#include <vips/vips8>

namespace plenwick {

namespace {

using vips::VError;
using vips::VImage;

// The encoder's 1 to 100 scale; a quality that is not a number counts as the lowest.
int jpegQ(double quality) {
    double q = std::round(quality * 100.0);
    if (!(q >= 1.0))
        return 1;
    return q > 100.0 ? 100 : static_cast<int>(q);
}

struct BlobRelease {
    void operator()(VipsBlob* blob) const { vips_area_unref(VIPS_AREA(blob)); }
};
using Blob = std::unique_ptr<VipsBlob, BlobRelease>;

} // namespace

Expected<PixelSize, ExportError> ImageExporter::exportImage(const std::filesystem::path& source,
                                                            const std::filesystem::path& to,
                                                            SizeRule rule) const {
    ImageSource opened = PLENWICK_TRY(ImageSource::open(source, {rule}));
    return exportImage(opened, to, rule);
}

Expected<PixelSize, ExportError> ImageExporter::exportImage(ImageSource& source,
                                                            const std::filesystem::path& to,
                                                            SizeRule rule) const {
    PixelSize size = TargetSize::compute(source.uprightSize(), rule);
    int q = jpegQ(m_quality);
    // Outputs of the same size and quality would be the same bytes: the source keeps them.
    const std::string* jpeg = source.keptJpeg(size, q);

    VImage rendered;
    if (!jpeg) {
        try {
            rendered = source.render(size);
        } catch (const VError&) {
            vips_error_clear();
            return ExportError::unreadable(source.path());
        }
    }

    PLENWICK_TRY(OutputPath::ensureDirectory(to));

    if (!jpeg) {
        Blob encoded;
        try {
            // Stripping drops EXIF, XMP, IPTC and the ICC profile: the pixels are upright and
            // sRGB, which is what a JPEG without a profile means.
            encoded.reset(
                rendered.jpegsave_buffer(VImage::option()->set("Q", q)->set("strip", true)));
        } catch (const VError&) {
            vips_error_clear();
            return ExportError::encodeFailed(to);
        }
        size_t length = 0;
        const char* data = static_cast<const char*>(vips_blob_get(encoded.get(), &length));
        jpeg = &source.keepJpeg(size, q, std::string(data, length));
    }

    // The earlier file at `to` stays until the new one is complete.
    Expected<TemporaryFile, SystemError> file = TemporaryFile::create(to);
    if (!file)
        return ExportError::write(to, "cannot create image destination");
    // A JPEG that cannot be written out, on a full disk say, is one that was not finalised.
    if (!file.value().writeAll(jpeg->data(), jpeg->size()))
        return ExportError::encodeFailed(to);
    if (auto committed = file.value().commit(); !committed)
        return ExportError::write(to, committed.error().message);
    return size;
}

} // namespace plenwick
