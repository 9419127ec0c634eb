#pragma once

#include "PlatformServices/Expected.hpp"
#include "PlenwickCore/ExportError.hpp"
#include "PlenwickCore/ImageSource.hpp"
#include "PlenwickCore/PixelSize.hpp"
#include "PlenwickCore/SizeRule.hpp"

#include <filesystem>

namespace plenwick {

// Turns one image file into one upright, opaque, downscaled sRGB JPEG without metadata.
class ImageExporter {
public:
    explicit ImageExporter(double quality) : m_quality(quality) {}

    // Writes the JPEG for `source` at `to`, sized by `rule`; returns the written size.
    Expected<PixelSize, ExportError> exportImage(const std::filesystem::path& source,
                                                 const std::filesystem::path& to,
                                                 SizeRule rule) const;

    // The same from a source opened with `rule` among its rules. The JPEG is kept in `source`,
    // and a JPEG it already keeps for the same size and quality is written without encoding.
    Expected<PixelSize, ExportError>
    exportImage(ImageSource& source, const std::filesystem::path& to, SizeRule rule) const;

private:
    double m_quality;
};

} // namespace plenwick
