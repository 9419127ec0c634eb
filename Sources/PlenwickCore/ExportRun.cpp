#include "PlenwickCore/ExportRun.hpp"

#include "PlatformServices/Log.hpp"
#include "PlenwickCore/ImageExporter.hpp"
#include "PlenwickCore/ImageLibrary.hpp"
#include "PlenwickCore/ImageSource.hpp"
#include "PlenwickCore/OutputPath.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <thread>

#include <utf8proc.h>

namespace plenwick {

namespace {

constexpr Log exportLog("export");

constexpr const char* stoppedUnexpectedly = "the export stopped unexpectedly";

struct Outcome {
    size_t index = 0;
    std::vector<std::filesystem::path> written;
    std::optional<ExportFailure> failure;
};

Expected<PixelSize, ExportError> exportWithImageExporter(ImageSource& source,
                                                         const std::filesystem::path& to,
                                                         const ExportSpec& spec) {
    return ImageExporter(spec.quality).exportImage(source, to, spec.rule);
}

Outcome exportOne(size_t index, const std::filesystem::path& input,
                  const std::vector<ExportSpec>& specs, const std::filesystem::path& root,
                  const ExportRun::Exporter& exporter) {
    Outcome outcome{index, {}, std::nullopt};
    const std::string filename = input.filename().string();
    // The input is decoded once for all its specs, at the scale the largest output needs. A
    // folder outside the root ends the input, so the specs from there on are never rendered.
    std::vector<SizeRule> rules;
    for (const ExportSpec& spec : specs) {
        if (OutputPath::escapesRoot(spec.folder))
            break;
        rules.push_back(spec.rule);
    }
    std::optional<Expected<ImageSource, ExportError>> source;

    for (const ExportSpec& spec : specs) {
        std::filesystem::path to = OutputPath::destination(root, spec, filename);
        std::optional<Expected<PixelSize, ExportError>> exported;
        if (OutputPath::escapesRoot(spec.folder)) {
            exported.emplace(ExportError::write(to, "the folder \"" + spec.folder +
                                                        "\" is not inside the Socials folder"));
        } else {
            try {
                if (!source)
                    source.emplace(ImageSource::open(input, rules));
                if (*source)
                    exported.emplace(exporter(source->value(), to, spec));
                else
                    exported.emplace(source->error());
            } catch (const std::exception& error) {
                exportLog.error("export failed: input %s -> %s: %s", input.c_str(), to.c_str(),
                                error.what());
                outcome.failure = ExportFailure{input, ExportError::write(to, error.what())};
                return outcome;
            } catch (...) {
                exportLog.error("export failed: input %s -> %s", input.c_str(), to.c_str());
                outcome.failure = ExportFailure{input, ExportError::write(to, stoppedUnexpectedly)};
                return outcome;
            }
        }

        if (!*exported) {
            const ExportError& error = exported->error();
            exportLog.error("export failed: input %s -> %s rule %s: %s", input.c_str(), to.c_str(),
                            spec.rule.description().c_str(), error.description().c_str());
            outcome.failure = ExportFailure{input, error};
            return outcome;
        }
        PixelSize size = exported->value();
        exportLog.info("wrote %s %ldx%ld", to.c_str(), static_cast<long>(size.width),
                       static_cast<long>(size.height));
        outcome.written.push_back(std::move(to));
    }
    return outcome;
}

// What every input of one run is exported with.
struct Job {
    const std::vector<std::filesystem::path>& inputs;
    const std::vector<ExportSpec>& specs;
    const std::filesystem::path& root;
    const ExportRun::Exporter& exporter;
    std::stop_token stop;
};

// Indices of the inputs, grouped by collision key in the order each key first appears; within a
// group, in input order.
using Groups = std::vector<std::vector<size_t>>;

Groups collisionGroups(const std::vector<std::filesystem::path>& inputs) {
    std::map<std::string, size_t> groupOfKey;
    Groups groups;
    for (size_t index = 0; index < inputs.size(); ++index) {
        auto [it, inserted] =
            groupOfKey.try_emplace(ExportRun::collisionKey(inputs[index]), groups.size());
        if (inserted)
            groups.emplace_back();
        groups[it->second].push_back(index);
    }
    return groups;
}

// The outcome of one input: cancelled when a stop came before it started.
Outcome outcomeOf(const Job& job, size_t index) {
    if (job.stop.stop_requested())
        return {index, {}, ExportFailure{job.inputs[index], ExportError::cancelled()}};
    return exportOne(index, job.inputs[index], job.specs, job.root, job.exporter);
}

// Calls `progress` with 0 and then as `finished` grows, until it reaches `total`. Counts that
// arrive together are reported once, as the later one.
void reportProgress(const std::atomic<size_t>& finished, size_t total,
                    const ExportRun::Progress& progress) {
    if (progress && total > 0)
        progress(0, static_cast<int64_t>(total));
    for (size_t seen = 0; seen < total;) {
        finished.wait(seen);
        seen = finished.load();
        if (progress)
            progress(static_cast<int64_t>(std::min(seen, total)), static_cast<int64_t>(total));
    }
}

// Exports every group on `workerCount` threads while this one reports progress; the outcomes
// come back as each worker kept them.
std::vector<std::vector<Outcome>> exportInWorkers(const Job& job, const Groups& groups,
                                                  size_t workerCount,
                                                  const ExportRun::Progress& progress) {
    // Each worker takes the next group as soon as it is free, so groups start in order and at
    // most three are in progress. A worker keeps its outcomes to itself; they are read only
    // after it has been joined.
    std::atomic<size_t> nextGroup{0};
    // Inputs with an outcome; the calling thread waits on it to report progress.
    std::atomic<size_t> finished{0};
    std::vector<std::vector<Outcome>> outcomesOfWorker(workerCount);
    std::vector<std::jthread> workers;
    workers.reserve(workerCount);
    for (size_t worker = 0; worker < workerCount; ++worker) {
        workers.emplace_back([&, worker] {
            // An input whose outcome could not be kept counts as failed below.
            try {
                for (size_t group = nextGroup++; group < groups.size(); group = nextGroup++) {
                    for (size_t index : groups[group]) {
                        outcomesOfWorker[worker].push_back(outcomeOf(job, index));
                        finished.fetch_add(1);
                        finished.notify_one();
                    }
                }
            } catch (...) {
                exportLog.error("an export worker stopped unexpectedly");
                // Its inputs will never count as finished: end the wait for them.
                finished.fetch_add(job.inputs.size());
                finished.notify_one();
            }
        });
    }
    reportProgress(finished, job.inputs.size(), progress);
    workers.clear();
    return outcomesOfWorker;
}

// The written files and the failures in input order; an input without an outcome failed.
ExportResult collected(std::vector<std::vector<Outcome>> outcomesOfWorker, const Job& job) {
    std::vector<std::optional<Outcome>> results(job.inputs.size());
    for (auto& outcomes : outcomesOfWorker)
        for (Outcome& outcome : outcomes)
            results[outcome.index] = std::move(outcome);

    ExportResult result;
    for (size_t index = 0; index < results.size(); ++index) {
        std::optional<Outcome>& outcome = results[index];
        if (!outcome)
            outcome = Outcome{index,
                              {},
                              ExportFailure{job.inputs[index],
                                            ExportError::write(job.root, stoppedUnexpectedly)}};
        for (auto& file : outcome->written)
            result.written.push_back(std::move(file));
        if (outcome->failure)
            result.failures.push_back(std::move(*outcome->failure));
    }
    return result;
}

} // namespace

std::string ExportRun::collisionKey(const std::filesystem::path& input) {
    std::string base = OutputPath::baseName(input.filename().string());
    auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(base.c_str());
    std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> composed(utf8proc_NFC(bytes),
                                                                     &std::free);
    std::string key;
    if (!composed) {
        // Not UTF-8: only ASCII letters have a case we can trust.
        key = base;
        std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) {
            return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : static_cast<char>(c);
        });
        return key;
    }
    const utf8proc_uint8_t* cursor = composed.get();
    utf8proc_int32_t codepoint = 0;
    while (*cursor) {
        utf8proc_ssize_t length = utf8proc_iterate(cursor, -1, &codepoint);
        if (length <= 0)
            break;
        cursor += length;
        utf8proc_uint8_t encoded[4];
        utf8proc_ssize_t size = utf8proc_encode_char(utf8proc_tolower(codepoint), encoded);
        key.append(reinterpret_cast<const char*>(encoded), static_cast<size_t>(size));
    }
    return key;
}

std::string ExportRun::notificationText(int64_t exported,
                                        const std::vector<ExportFailure>& failures,
                                        int64_t skipped) {
    std::string text;
    if (failures.empty()) {
        text = "Exported " + std::to_string(exported) + " photo" + (exported == 1 ? "" : "s") +
               " to Socials";
    } else {
        const ExportFailure& first = failures.front();
        text =
            "Plenwick failed on " + first.input.filename().string() + ": " + first.error.reason();
        if (exported > 0)
            text += " (" + std::to_string(exported) + " exported)";
    }
    if (skipped > 0)
        text += ", " + std::to_string(skipped) + " items skipped";
    return text;
}

ExportResult ExportRun::run(const std::vector<std::filesystem::path>& inputs,
                            const std::vector<ExportSpec>& specs, const std::filesystem::path& root,
                            int64_t skipped, std::stop_token stop, const Exporter& exporter,
                            const Progress& progress) {
    const auto start = std::chrono::steady_clock::now();
    exportLog.info("run start: %ld inputs, %ld specs, root %s", static_cast<long>(inputs.size()),
                   static_cast<long>(specs.size()), root.c_str());

    const Groups groups = collisionGroups(inputs);
    const Exporter imageExporter(exportWithImageExporter);
    const Job job{inputs, specs, root, exporter ? exporter : imageExporter, std::move(stop)};
    const size_t workerCount = std::min<size_t>(maximumConcurrentExports, groups.size());
    // The workers already run side by side: each pipeline gets its share of the cores, which
    // saves libvips handing tiles between threads that would only contend.
    if (ImageLibrary::start("plenwick"))
        ImageLibrary::shareCores(static_cast<int>(workerCount));
    ExportResult result = collected(exportInWorkers(job, groups, workerCount, progress), job);
    result.skipped = skipped;
    int64_t exported = static_cast<int64_t>(inputs.size() - result.failures.size());
    result.notificationText = notificationText(exported, result.failures, skipped);

    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    exportLog.info("run end: %ld files, %ld failures, %ld skipped, %.*fs",
                   static_cast<long>(result.written.size()),
                   static_cast<long>(result.failures.size()), static_cast<long>(skipped), 2,
                   seconds);
    return result;
}

} // namespace plenwick
