// The name a staged copy gets comes from the sharing program (a suggested name) or from a URL:
// whatever either says, the copy lands as a regular file directly inside its item folder, and
// nothing is written anywhere else.
#include "PlenwickCore/ItemLoader.hpp"
#include "ScratchFolder.hpp"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace ItemLoader = plenwick::ItemLoader;
using plenwick::ItemProvider;
using plenwick::fuzz::ScratchFolder;

namespace {

// The sources the copies are made from: an image and its delivered representation.
std::filesystem::path sources() {
    return ScratchFolder::ofProcess().path() / "sources";
}

class FuzzedProvider : public ItemProvider {
public:
    FuzzedProvider(std::vector<std::string> types, std::optional<std::string> name, std::string url)
        : m_types(std::move(types)), m_name(std::move(name)), m_url(std::move(url)) {}

    std::vector<std::string> registeredTypeIdentifiers() const override { return m_types; }
    std::optional<std::string> suggestedName() const override { return m_name; }
    void loadFileURLItem(ItemCallback callback) override { callback(m_url, std::nullopt); }
    void loadFileRepresentation(const std::string&, FileCallback callback) override {
        callback(sources() / "representation.jpeg", std::nullopt);
    }

private:
    std::vector<std::string> m_types;
    std::optional<std::string> m_name;
    std::string m_url;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static const uint8_t jpeg[] = {0xFF, 0xD8, 0xFF, 0xE0, 0, 0x10, 'J', 'F', 'I', 'F', 0};
    std::filesystem::create_directory(sources());
    ScratchFolder::ofProcess().write("sources/representation.jpeg", jpeg, sizeof jpeg);
    ScratchFolder::ofProcess().write("sources/photo.jpg", jpeg, sizeof jpeg);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The first byte says whether the provider suggests a name and whether the URL lies below
    // the sources; a 0xFE byte (never part of UTF-8) ends the name, and the rest is the URL.
    if (size == 0)
        return 0;
    const bool named = data[0] & 1;
    const bool local = data[0] & 2;
    std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    size_t end = rest.find('\xFE');
    std::string name(rest.substr(0, end));
    std::string url(end == std::string_view::npos ? std::string_view() : rest.substr(end + 1));
    // A local URL names something below the sources, so that the copy can succeed.
    if (local)
        url = "file://" + sources().string() + "/" + url;

    std::vector<std::shared_ptr<ItemProvider>> providers{
        std::make_shared<FuzzedProvider>(std::vector<std::string>{"public.jpeg", "public.file-url"},
                                         named ? std::optional(name) : std::nullopt, url),
        std::make_shared<FuzzedProvider>(std::vector<std::string>{"public.file-url"}, std::nullopt,
                                         url),
    };
    const std::filesystem::path staging = ScratchFolder::ofProcess().path() / "staging";
    ItemLoader::Result result = ItemLoader::load(providers, staging);

    for (const std::filesystem::path& file : result.files) {
        std::string folder = file.parent_path().filename().string();
        std::string leaf = file.filename().string();
        if (file.parent_path().parent_path() != staging ||
            (folder != "item_0" && folder != "item_1") || leaf.empty() || leaf == "." ||
            leaf == ".." || !std::filesystem::is_regular_file(file))
            __builtin_trap();
    }
    std::error_code ignored;
    for (const auto& entry :
         std::filesystem::directory_iterator(ScratchFolder::ofProcess().path(), ignored))
        if (entry.path() != staging && entry.path() != sources())
            __builtin_trap();
    if (std::distance(std::filesystem::directory_iterator(sources(), ignored),
                      std::filesystem::directory_iterator()) != 2)
        __builtin_trap();
    std::filesystem::remove_all(staging, ignored);
    return 0;
}
