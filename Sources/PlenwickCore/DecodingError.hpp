#pragma once

#include <string>

namespace plenwick {

// Why stored JSON did not decode, told the way a typed decoder tells it: the kind of problem,
// where it was met (".0.rule", say) and a description.
struct DecodingError {
    enum class Kind { dataCorrupted, keyNotFound, valueNotFound, typeMismatch };

    Kind kind = Kind::dataCorrupted;
    std::string codingPath;
    std::string description;

    bool operator==(const DecodingError&) const = default;
};

} // namespace plenwick
