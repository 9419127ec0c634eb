#pragma once

#include <cstdint>
#include <string>

namespace plenwick {

// How an output's pixel size is fixed: its width, or its longer edge, is `pixels` long.
struct SizeRule {
    enum class Kind { width, longEdge };

    Kind kind = Kind::width;
    int64_t pixels = 0;

    static SizeRule width(int64_t pixels) { return {Kind::width, pixels}; }
    static SizeRule longEdge(int64_t pixels) { return {Kind::longEdge, pixels}; }

    // "width(1080)", "longEdge(2048)": the form the export log prints.
    std::string description() const;

    bool operator==(const SizeRule&) const = default;
};

} // namespace plenwick
