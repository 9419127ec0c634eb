#pragma once

#include "PlatformServices/Expected.hpp"
#include "PlenwickCore/ExportResult.hpp"
#include "PlenwickCore/ExportSpec.hpp"
#include "PlenwickCore/ImageSource.hpp"
#include "PlenwickCore/PixelSize.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <stop_token>
#include <string>
#include <vector>

namespace plenwick {

// One export job: every input for every spec, at most three inputs at once. Inputs whose output
// names collide (same base name regardless of case or Unicode composition) run one after the
// other in input order, so the later one's files are the ones that remain.
namespace ExportRun {

inline constexpr int maximumConcurrentExports = 3;

// Writes one input, opened once for all its specs, for one spec; the run uses the image
// exporter, tests may wrap it.
using Exporter = std::function<Expected<PixelSize, ExportError>(
    ImageSource& source, const std::filesystem::path& to, const ExportSpec& spec)>;

// How many of all the inputs have finished, exported or failed.
using Progress = std::function<void(int64_t finished, int64_t total)>;

// Blocks until every export has finished. A stop request is honoured before each input:
// inputs not yet started then fail with `cancelled`. `progress` is called on the calling
// thread, with 0 first and then as inputs finish, the counts only ever growing.
ExportResult run(const std::vector<std::filesystem::path>& inputs,
                 const std::vector<ExportSpec>& specs, const std::filesystem::path& root,
                 int64_t skipped, std::stop_token stop = {}, const Exporter& exporter = {},
                 const Progress& progress = {});

std::string notificationText(int64_t exported, const std::vector<ExportFailure>& failures,
                             int64_t skipped);

// Inputs with equal keys would write files whose names differ at most in case or composition.
std::string collisionKey(const std::filesystem::path& input);

} // namespace ExportRun

} // namespace plenwick
