#include "ShareViewController.hpp"

#include "DiagnosticRecord.hpp"
#include "PlatformServices/NotificationCenter.hpp"
#include "PlatformServices/Preferences.hpp"
#include "PlatformServices/Uuid.hpp"
#include "PlenwickCore/AppcastCheck.hpp"
#include "PlenwickCore/ExportRun.hpp"
#include "PlenwickCore/ItemLoader.hpp"
#include "PlenwickCore/SpecStore.hpp"
#include "PlenwickCore/UpdateNudge.hpp"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plenwick {

namespace {

const Log& extensionLog() {
    static const Log log("extension");
    return log;
}

std::string joined(const std::vector<std::string>& parts, char separator) {
    std::string text;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i)
            text += separator;
        text += parts[i];
    }
    return text;
}

// The staging folder of one share: private to the user, gone on every way out.
class StagingFolder {
public:
    StagingFolder()
        : m_path(std::filesystem::temp_directory_path() / ("plenwick-" + Uuid::random())) {
        ::mkdir(m_path.c_str(), 0700);
    }
    ~StagingFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    StagingFolder(const StagingFolder&) = delete;
    StagingFolder& operator=(const StagingFolder&) = delete;

    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

} // namespace

ShareViewController::ShareViewController(std::optional<ExtensionContext> context, ShareView& view)
    : m_context(std::move(context)), m_view(view) {}

ShareViewController::~ShareViewController() = default;

void ShareViewController::loadView() {
    m_view.show(std::string(label));
}

void ShareViewController::viewDidAppear() {
    if (m_started)
        return;
    m_started = true;

    std::vector<std::shared_ptr<ItemProvider>> providers;
    if (m_context)
        for (const ExtensionItem& item : m_context->inputItems)
            providers.insert(providers.end(), item.attachments.begin(), item.attachments.end());
    m_logger.info("share started with %ld items", static_cast<long>(providers.size()));

    m_exportTask = std::jthread([this, providers = std::move(providers)](std::stop_token stop) {
        ShareOutcome outcome = exportProviders(providers, m_view, stop);
        // A dismissed share posts nothing and leaves the request to the host.
        if (!stop.stop_requested())
            finish(outcome.body);
        else
            outcome.status = ShareOutcome::Status::dismissed;
        m_outcome = std::move(outcome);
    });
}

void ShareViewController::viewWillDisappear() {
    m_exportTask.request_stop();
}

std::optional<ShareOutcome> ShareViewController::waitUntilDone() {
    if (m_exportTask.joinable())
        m_exportTask.join();
    return m_outcome;
}

ShareOutcome
ShareViewController::exportProviders(const std::vector<std::shared_ptr<ItemProvider>>& providers,
                                     ShareView& view, std::stop_token stop) {
    const auto start = std::chrono::steady_clock::now();
    StagingFolder staging;

    std::vector<std::string> providerTypes;
    for (const auto& provider : providers)
        providerTypes.push_back(joined(provider->registeredTypeIdentifiers(), ','));

    std::shared_ptr<Preferences> defaults = Preferences::openShared("plenwick-share");
    UpdateNudge nudge(AppcastCheck::feedURLFromEnvironment(), defaults,
                      runningBuild(PLENWICK_BUILD_NUMBER));

    // The feed check runs beside loading and exporting; a dismissal cancels it with the share.
    std::optional<std::string> suffix;
    std::jthread suffixTask(
        [&nudge, &suffix](std::stop_token suffixStop) { suffix = nudge.suffix(suffixStop); });
    std::stop_callback cancelSuffix(stop, [&suffixTask] { suffixTask.request_stop(); });

    ItemLoader::Result loaded = ItemLoader::load(providers, staging.path());
    if (stop.stop_requested()) {
        suffixTask.join();
        return {ShareOutcome::Status::dismissed, {}};
    }

    SpecStore store(defaults);
    std::vector<ExportSpec> specs = store.load();
    std::filesystem::path root = SpecStore::outputRoot();
    ExportResult result = ExportRun::run(loaded.files, specs, root, loaded.skipped, stop, {},
                                         [&view, &stop](int64_t finished, int64_t total) {
                                             // A dismissed share's view may already be closing.
                                             if (!stop.stop_requested())
                                                 view.showProgress(progressLabel(finished, total));
                                         });

    suffixTask.join();
    std::string body = composeBody(result, suffix);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::string summary = summaryLine(seconds, body);
    extensionLog().info("%s", summary.c_str());

    DiagnosticRecord record;
    record.date = std::chrono::system_clock::now();
    record.items = static_cast<int64_t>(providers.size());
    record.providerTypes = std::move(providerTypes);
    for (const auto& file : loaded.files)
        record.loaded.push_back(file.filename().string());
    record.notes = loaded.notes;
    record.nudge = suffix;
    record.summary = summary;
    appendDiagnostic(record.text());

    bool complete = result.failures.empty() && result.skipped == 0;
    return {complete ? ShareOutcome::Status::exported : ShareOutcome::Status::incomplete, body};
}

void ShareViewController::finish(const std::string& body) {
    NotificationRequest request{Uuid::random(), "Plenwick", body};
    if (auto error = NotificationCenter::current().add(request))
        m_logger.error("notification failed: %s", error->c_str());
    if (m_context && m_context->completeRequest)
        m_context->completeRequest();
}

std::string ShareViewController::composeBody(const ExportResult& result,
                                             const std::optional<std::string>& suffix) {
    if (result.failures.empty() && !result.written.empty() && suffix)
        return result.notificationText + *suffix;
    return result.notificationText;
}

std::string ShareViewController::progressLabel(int64_t finished, int64_t total) {
    return std::string(label) + " " + std::to_string(finished) + " of " + std::to_string(total);
}

std::string ShareViewController::summaryLine(double seconds, const std::string& body) {
    return Log::format("share finished in %.2fs: ", seconds) + body;
}

int64_t ShareViewController::runningBuild(std::string_view text) {
    std::string_view digits = text;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-'))
        digits.remove_prefix(1);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos)
        return 0;
    int64_t value = 0;
    // from_chars takes a minus sign but not a plus sign.
    std::string_view number = text.front() == '+' ? digits : text;
    auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (error != std::errc() || end != number.data() + number.size())
        return 0;
    return value;
}

void ShareViewController::appendDiagnostic(const std::string& record) {
    std::filesystem::path root = SpecStore::outputRoot();
    std::error_code ignored;
    std::filesystem::create_directories(root, ignored);
    std::string line = record + "\n";
    // O_APPEND with one write: records of shares finishing at the same moment never interleave.
    int fd = ::open((root / ".plenwick.log").c_str(),
                    O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return;
    [[maybe_unused]] auto written = ::write(fd, line.data(), line.size());
    ::close(fd);
}

} // namespace plenwick
