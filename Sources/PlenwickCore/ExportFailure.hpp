#pragma once

#include "PlenwickCore/ExportError.hpp"

#include <filesystem>

namespace plenwick {

struct ExportFailure {
    std::filesystem::path input;
    ExportError error;

    bool operator==(const ExportFailure&) const = default;
};

} // namespace plenwick
