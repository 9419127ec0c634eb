#include "PlenwickCore/ImageExporter.hpp"

#include "PlatformServices/FileDescriptor.hpp"
#include "PlenwickCore/ImageSource.hpp"
#include "PlenwickCore/OutputPath.hpp"
#include "PlenwickCore/TargetSize.hpp"

#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <random>
#include <string_view>
#include <system_error>
#include <unistd.h>

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

// A hidden file beside the destination that is removed unless it was renamed into place.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::filesystem::path& destination) {
        static constexpr std::string_view letters =
            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
        thread_local std::mt19937_64 random{std::random_device{}()};
        std::uniform_int_distribution<size_t> pick(0, letters.size() - 1);
        // Shortened so that a destination name near the file system's limit still gets one.
        std::string base = destination.filename().string().substr(0, 200);
        for (int attempt = 0; attempt < 100 && !m_file; ++attempt) {
            std::string name = "." + base + ".";
            for (int i = 0; i < 6; ++i)
                name += letters[pick(random)];
            m_path = destination.parent_path() / name;
            // Mode 0666 lets the umask decide, as for any file the user's programs create.
            m_file = FileDescriptor(
                ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
            if (!m_file && errno != EEXIST)
                break;
        }
        m_created = static_cast<bool>(m_file);
    }
    ~TemporaryFile() {
        m_file.close();
        if (m_created && !m_committed)
            ::unlink(m_path.c_str());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    bool isOpen() const { return static_cast<bool>(m_file); }

    // Writes all of `data` and closes the file; false when either fails.
    bool writeAll(const char* data, size_t length) {
        bool written = m_file.writeAll(data, length);
        return m_file.close() && written;
    }

    // The system's words on failure.
    std::optional<std::string> renameTo(const std::filesystem::path& destination) {
        if (::rename(m_path.c_str(), destination.c_str()) != 0)
            return std::error_code(errno, std::generic_category()).message();
        m_committed = true;
        return std::nullopt;
    }

private:
    std::filesystem::path m_path;
    FileDescriptor m_file;
    bool m_created = false;
    bool m_committed = false;
};

} // namespace

Expected<PixelSize, ExportError> ImageExporter::exportImage(const std::filesystem::path& source,
                                                            const std::filesystem::path& to,
                                                            SizeRule rule) const {
    Expected<ImageSource, ExportError> opened = ImageSource::open(source, {rule});
    if (!opened)
        return opened.error();
    return exportImage(opened.value(), to, rule);
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

    if (std::optional<ExportError> error = OutputPath::ensureDirectory(to))
        return *error;

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
    TemporaryFile file(to);
    if (!file.isOpen())
        return ExportError::write(to, "cannot create image destination");
    if (!file.writeAll(jpeg->data(), jpeg->size()))
        return ExportError::encodeFailed(to);
    if (std::optional<std::string> message = file.renameTo(to))
        return ExportError::write(to, *message);
    return size;
}

} // namespace plenwick
