#pragma once

#include "PlenwickCore/ExportFailure.hpp"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace plenwick {

struct ExportResult {
    // Every file written, in input order and, within one input, in spec order.
    std::vector<std::filesystem::path> written;
    // At most one per input, in input order.
    std::vector<ExportFailure> failures;
    int64_t skipped = 0;
    std::string notificationText;

    bool operator==(const ExportResult&) const = default;
};

} // namespace plenwick
