#pragma once

#include "PlenwickCore/Expected.hpp"
#include "PlenwickCore/ExportError.hpp"
#include "PlenwickCore/PixelSize.hpp"
#include "PlenwickCore/SizeRule.hpp"

#include <filesystem>

namespace plenwick {

// Turns one image file into one upright, opaque, downscaled sRGB JPEG without metadata.
class ImageExporter {
public:
    explicit ImageExporter(double quality) : m_quality(quality) {}

    double quality() const { return m_quality; }

    // Writes the JPEG for `source` at `to`, sized by `rule`; returns the written size.
    Expected<PixelSize, ExportError> exportImage(const std::filesystem::path& source,
                                                 const std::filesystem::path& to,
                                                 SizeRule rule) const;

private:
    double m_quality;
};

} // namespace plenwick
