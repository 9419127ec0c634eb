#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace plenwick::fuzz {

// A private folder for the files a target writes per input, removed when the process ends.
class ScratchFolder {
public:
    // Named unlike any folder a share makes, so that no share's clean-up could take it.
    ScratchFolder() {
        std::error_code error;
        std::filesystem::path base = std::filesystem::temp_directory_path(error);
        std::string pattern = ((error ? "/tmp" : base) / "fuzz-plenwick-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) {
            std::perror("no scratch folder for the fuzz target");
            std::exit(1);
        }
        m_path = pattern;
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    // The one folder of this process, made on first use.
    static const ScratchFolder& ofProcess() {
        static const ScratchFolder folder;
        return folder;
    }

    const std::filesystem::path& path() const { return m_path; }

    // The file `name` in the folder, holding exactly the input's bytes, for code that only
    // reads files.
    std::filesystem::path write(const std::string& name, const uint8_t* data, size_t size) const {
        std::filesystem::path file = m_path / name;
        std::ofstream stream(file, std::ios::binary | std::ios::trunc);
        stream.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        stream.close();
        return file;
    }

private:
    std::filesystem::path m_path;
};

} // namespace plenwick::fuzz
