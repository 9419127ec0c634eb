#include "TestSupport.hpp"

#include "PlenwickCore/PlenwickCore.hpp"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <vips/vips8>

namespace plenwick::test {

std::optional<std::filesystem::path> fixtures() {
    std::filesystem::path folder =
        std::filesystem::path(PLENWICK_SOURCE_DIR).parent_path() / "shared" / "fixtures";
    if (std::filesystem::is_directory(folder))
        return folder;
    return std::nullopt;
}

std::string readFile(const std::filesystem::path& file) {
    std::ifstream stream(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
}

void writeImage(const std::filesystem::path& file, int width, int height) {
    PlenwickCore::start("plenwick-tests");
    vips::VImage xy = vips::VImage::xyz(width, height);
    vips::VImage red = xy.extract_band(0) * (255.0 / std::max(1, width));
    vips::VImage green = xy.extract_band(1) * (255.0 / std::max(1, height));
    vips::VImage blue = (red + green) / 2;
    red.bandjoin(green).bandjoin(blue).cast(VIPS_FORMAT_UCHAR).write_to_file(file.c_str());
}

namespace {

plenwick::TemporaryFolder createFolder() {
    std::string failure;
    auto folder = plenwick::TemporaryFolder::create("plenwick-test-XXXXXX", failure);
    if (!folder)
        throw std::runtime_error("cannot create a temporary folder: " + failure);
    return std::move(*folder);
}

} // namespace

TemporaryFolder::TemporaryFolder() : m_folder(createFolder()) {}

} // namespace plenwick::test
