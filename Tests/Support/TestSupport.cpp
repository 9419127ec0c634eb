#include "TestSupport.hpp"

#include "PlenwickCore/PlenwickCore.hpp"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <vips/vips8>

namespace plenwick::test {

std::filesystem::path fixtures() {
    return PLENWICK_FIXTURES_DIR;
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

TemporaryFolder::TemporaryFolder() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "plenwick-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a temporary folder");
    m_path = pattern;
}

TemporaryFolder::~TemporaryFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

} // namespace plenwick::test
