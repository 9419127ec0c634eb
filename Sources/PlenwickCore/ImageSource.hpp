#pragma once

#include "PlatformServices/Expected.hpp"
#include "PlenwickCore/ExportError.hpp"
#include "PlenwickCore/PixelSize.hpp"
#include "PlenwickCore/SizeRule.hpp"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace vips {
class VImage;
}

namespace plenwick {

// Image 0 of one file, decoded once and held in memory as 8-bit sRGB over white, so that all the
// outputs of one input are rendered from the same pixels. It also keeps the JPEGs made from
// them, so that outputs of the same size and quality are encoded once.
class ImageSource {
public:
    // Reads the header, refuses images above 500 megapixels, and decodes the pixels at the
    // smallest scale that still covers the output of every rule in `rules`. Anything that
    // stops this is `unreadable(source)`.
    static Expected<ImageSource, ExportError> open(const std::filesystem::path& source,
                                                   const std::vector<SizeRule>& rules);

    const std::filesystem::path& path() const { return m_path; }
    // The pixel size with the stored orientation applied.
    PixelSize uprightSize() const;

    // The held pixels resampled to exactly `size` (given upright) and turned upright, ready to
    // be encoded.
    // `size` is the target of one of the rules the source was opened for: a larger one would be
    // enlarged from the decoded scale. Throws vips::VError.
    vips::VImage render(PixelSize size) const;

    // The JPEG kept for `size` at encoder quality `q`, or nothing.
    const std::string* keptJpeg(PixelSize size, int q) const;
    const std::string& keepJpeg(PixelSize size, int q, std::string bytes);

private:
    struct Pixels;
    struct KeptJpeg {
        PixelSize size;
        int q = 0;
        std::string bytes;
    };

    ImageSource(std::filesystem::path path, std::shared_ptr<const Pixels> pixels);

    std::filesystem::path m_path;
    // Shared by copies: the pixels never change once decoded.
    std::shared_ptr<const Pixels> m_pixels;
    std::vector<KeptJpeg> m_jpegs;
};

} // namespace plenwick
