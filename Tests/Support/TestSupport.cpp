#include "TestSupport.hpp"

#include "PlenwickCore/ImageLibrary.hpp"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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
    if (auto started = ImageLibrary::start("plenwick-tests"); !started)
        throw std::runtime_error(started.error().message);
    vips::VImage xy = vips::VImage::xyz(width, height);
    vips::VImage red = xy.extract_band(0) * (255.0 / std::max(1, width));
    vips::VImage green = xy.extract_band(1) * (255.0 / std::max(1, height));
    vips::VImage blue = (red + green) / 2;
    red.bandjoin(green).bandjoin(blue).cast(VIPS_FORMAT_UCHAR).write_to_file(file.c_str());
}

void makeOld(const std::filesystem::path& path) {
    timespec times[2];
    clock_gettime(CLOCK_REALTIME, &times[0]);
    times[0].tv_sec -= 120;
    times[1] = times[0];
    if (utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
        throw std::runtime_error("cannot set the times of " + path.string());
}

std::vector<std::string> namesIn(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ignored))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::filesystem::path leftByADeadProcess(const std::function<std::string()>& leave) {
    int ends[2];
    if (::pipe(ends) != 0)
        return {};
    pid_t child = ::fork();
    if (child == 0) {
        std::string path = leave();
        [[maybe_unused]] ssize_t written = ::write(ends[1], path.data(), path.size());
        ::_exit(0);
    }
    ::close(ends[1]);
    std::string path;
    char buffer[4096];
    for (ssize_t count; (count = ::read(ends[0], buffer, sizeof buffer)) > 0;)
        path.append(buffer, static_cast<size_t>(count));
    ::close(ends[0]);
    ::waitpid(child, nullptr, 0);
    return path;
}

namespace {

plenwick::TemporaryFolder createFolder() {
    auto folder = plenwick::TemporaryFolder::create("plenwick-test-XXXXXX");
    if (!folder)
        throw std::runtime_error("cannot create a temporary folder: " + folder.error().message);
    return std::move(folder.value());
}

} // namespace

TemporaryFolder::TemporaryFolder() : m_folder(createFolder()) {}

} // namespace plenwick::test
