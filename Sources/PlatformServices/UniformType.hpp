#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace plenwick {

// A uniform type identifier ("public.jpeg") from the table of the types we meet: what it conforms
// to, its filename extensions and MIME types. A file's content type comes from its first bytes,
// never from its name, so a text file named photo.jpg is plain text.
class UniformType {
public:
    static std::optional<UniformType> withIdentifier(std::string_view identifier);
    // The first type in the table whose extensions include `extension` (without the dot, in any
    // case) and that conforms to `supertype`.
    static std::optional<UniformType> withFilenameExtension(std::string_view extension,
                                                            const UniformType& supertype);
    // A folder is public.folder. Nothing when the file cannot be read, is not a regular file,
    // or its bytes match no type in the table.
    static std::optional<UniformType> ofFile(const std::filesystem::path& path);
    // The same for bytes in memory; `complete` is false when they are only the start of a file,
    // so that a character cut off at the end does not make text look like binary data.
    static std::optional<UniformType> ofContents(std::string_view bytes, bool complete = true);

    static UniformType data();
    static UniformType image();
    static UniformType fileURL();

    std::string_view identifier() const;
    // Every type conforms to itself and to each of its ancestors.
    bool conformsTo(const UniformType& other) const;
    std::optional<std::string> preferredFilenameExtension() const;
    std::optional<std::string> preferredMIMEType() const;

    bool operator==(const UniformType& other) const { return m_entry == other.m_entry; }

    // One row of the table; defined with the table.
    struct Entry;

private:
    explicit UniformType(const Entry* entry) : m_entry(entry) {}
    static UniformType known(std::string_view identifier);

    const Entry* m_entry;
};

} // namespace plenwick
