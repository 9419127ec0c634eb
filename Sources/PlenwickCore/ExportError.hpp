#pragma once

#include <filesystem>
#include <string>

namespace plenwick {

// Why one export of one input for one spec did not produce its JPEG.
struct ExportError {
    enum class Kind { unreadable, encodeFailed, write, cancelled };

    Kind kind = Kind::unreadable;
    // The source for `unreadable`, the destination for `encodeFailed` and `write`.
    std::filesystem::path location;
    // Only `write` carries a message: the file system's words, shown to the user as they are.
    std::string message;

    static ExportError unreadable(std::filesystem::path source) {
        return {Kind::unreadable, std::move(source), {}};
    }
    static ExportError encodeFailed(std::filesystem::path destination) {
        return {Kind::encodeFailed, std::move(destination), {}};
    }
    static ExportError write(std::filesystem::path destination, std::string message) {
        return {Kind::write, std::move(destination), std::move(message)};
    }
    static ExportError cancelled() { return {Kind::cancelled, {}, {}}; }

    // The log's form: "unreadable(file:///…)", "write(file:///…, \"message\")", "cancelled".
    std::string description() const;
    // The notification's words for this error.
    std::string reason() const;

    bool operator==(const ExportError&) const = default;
};

} // namespace plenwick
