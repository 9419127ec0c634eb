#pragma once

#include "PlenwickCore/ExportResult.hpp"
#include "PlenwickCore/ExportSpec.hpp"

#include <cstdint>
#include <filesystem>
#include <stop_token>
#include <vector>

namespace plenwick {

// One export job: every input for every spec, at most three inputs at once.
struct ExportRun {
    ExportRun() = delete;

    static constexpr int maximumConcurrentExports = 3;

    // Blocks until every export has finished. A stop request is honoured before each input:
    // inputs not yet started then fail with `cancelled`.
    static ExportResult run(const std::vector<std::filesystem::path>& inputs,
                            const std::vector<ExportSpec>& specs,
                            const std::filesystem::path& root, int64_t skipped,
                            std::stop_token stop = {});

    static std::string notificationText(int64_t exported,
                                        const std::vector<ExportFailure>& failures,
                                        int64_t skipped);
};

} // namespace plenwick
