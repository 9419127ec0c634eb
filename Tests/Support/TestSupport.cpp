#include "TestSupport.hpp"

#include <cstdlib>
#include <stdexcept>

namespace plenwick::test {

std::optional<std::filesystem::path> fixtures() {
    std::filesystem::path folder =
        std::filesystem::path(PLENWICK_SOURCE_DIR).parent_path() / "shared" / "fixtures";
    if (std::filesystem::is_directory(folder))
        return folder;
    return std::nullopt;
}

TemporaryFolder::TemporaryFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "plenwick-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a temporary folder");
    m_path = pattern;
}

TemporaryFolder::~TemporaryFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

} // namespace plenwick::test
