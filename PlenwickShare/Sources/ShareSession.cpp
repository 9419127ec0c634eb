#include "ShareSession.hpp"

#include "DiagnosticRecord.hpp"
#include "PlatformServices/FileDescriptor.hpp"
#include "PlatformServices/Log.hpp"
#include "PlatformServices/NotificationCenter.hpp"
#include "PlatformServices/Preferences.hpp"
#include "PlatformServices/TemporaryFolder.hpp"
#include "PlatformServices/Uuid.hpp"
#include "PlenwickCore/AppcastCheck.hpp"
#include "PlenwickCore/BuildInfo.hpp"
#include "PlenwickCore/ExportRun.hpp"
#include "PlenwickCore/ImageLibrary.hpp"
#include "PlenwickCore/ItemLoader.hpp"
#include "PlenwickCore/Leftovers.hpp"
#include "PlenwickCore/SpecStore.hpp"
#include "PlenwickCore/UpdateNudge.hpp"

#include <cerrno>
#include <cstdlib>
#include <exception>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace plenwick {

namespace {

// The share's one log category; the name is what journal readers filter on.
constexpr Log shareLog("extension");

// Waits a little for the lock on the diagnostic log: another share holds it only for one write.
// False when it stays held; true also where the file system has no locks.
bool lockLog(const FileDescriptor& log) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (::flock(log.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR)
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
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

} // namespace

ShareSession::ShareSession(std::optional<ShareRequest> request, ShareView& view)
    : m_request(std::move(request)), m_view(view) {}

ShareSession::~ShareSession() = default;

void ShareSession::start() {
    if (m_started)
        return;
    m_started = true;
    m_view.show(std::string(label));

    std::vector<std::shared_ptr<ItemProvider>> providers;
    if (m_request)
        providers = m_request->providers;
    shareLog.info("share started with %ld items", static_cast<long>(providers.size()));

    m_exportTask = std::jthread([this, providers = std::move(providers)](std::stop_token stop) {
        const auto start = std::chrono::steady_clock::now();
        ShareOutcome outcome;
        // Whatever stops the share still ends in a notification and a record.
        try {
            outcome = exportProviders(providers, m_view, start, stop);
        } catch (const std::exception& error) {
            outcome = failedShare(providers, start, error.what());
        } catch (...) {
            outcome = failedShare(providers, start, "an unexpected error");
        }
        // A dismissed share posts nothing and leaves the request to the host.
        if (!stop.stop_requested())
            finish(outcome.body);
        else
            outcome.status = ShareOutcome::Status::dismissed;
        m_outcome = std::move(outcome);
    });
}

void ShareSession::cancel() {
    m_exportTask.request_stop();
}

std::optional<ShareOutcome> ShareSession::wait() {
    if (m_exportTask.joinable())
        m_exportTask.join();
    return m_outcome;
}

std::vector<std::string>
ShareSession::typesOf(const std::vector<std::shared_ptr<ItemProvider>>& providers) {
    std::vector<std::string> providerTypes;
    for (const auto& provider : providers)
        providerTypes.push_back(joined(provider->registeredTypeIdentifiers(), ','));
    return providerTypes;
}

ShareOutcome
ShareSession::exportProviders(const std::vector<std::shared_ptr<ItemProvider>>& providers,
                              ShareView& view, std::chrono::steady_clock::time_point start,
                              std::stop_token stop) {
    // The image library was started before any thread; this asks for the answer it gave then.
    if (auto started = ImageLibrary::start("plenwick-share"); !started)
        return failedShare(providers, start, started.error().message);
    auto temporary = TemporaryFolder::systemFolder();
    if (!temporary)
        return failedShare(providers, start, temporary.error().message);
    auto staging =
        TemporaryFolder::createStaging(temporary.value(), TemporaryFolder::Staging::share);
    if (!staging)
        return failedShare(providers, start, staging.error().message);

    std::vector<std::string> providerTypes = typesOf(providers);

    std::shared_ptr<Preferences> preferences = Preferences::openShared("plenwick-share");
    UpdateNudge nudge(AppcastCheck::feedURLFromEnvironment(), UpdateNudge::checkSuite(preferences),
                      BuildInfo::buildNumber());

    // The feed check runs beside loading and exporting; a dismissal cancels it with the share.
    std::optional<std::string> suffix;
    std::jthread suffixTask([&nudge, &suffix](std::stop_token suffixStop) {
        // A check that breaks is a check that found nothing.
        try {
            suffix = nudge.suffix(suffixStop);
        } catch (...) {
            suffix.reset();
        }
    });
    std::stop_callback cancelSuffix(stop, [&suffixTask] { suffixTask.request_stop(); });

    ItemLoader::Result loaded = ItemLoader::load(providers, staging.value().path(), stop);
    if (stop.stop_requested()) {
        suffixTask.join();
        return {ShareOutcome::Status::dismissed, {}};
    }

    SpecStore store(preferences);
    std::vector<ExportSpec> specs = store.load();
    std::filesystem::path root = SpecStore::outputRoot();
    Leftovers::remove(specs, root);
    ExportResult result = ExportRun::run(loaded.files, specs, root, loaded.skipped, stop, {},
                                         [&view, &stop](int64_t finished, int64_t total) {
                                             // One photo has nothing to count; a dismissed
                                             // share's view may already be closing.
                                             if (total > 1 && !stop.stop_requested())
                                                 view.showProgress(progressLabel(finished, total));
                                         });

    suffixTask.join();
    std::string body = composeBody(result, suffix);
    DiagnosticRecord record;
    record.items = static_cast<int64_t>(providers.size());
    record.providerTypes = std::move(providerTypes);
    for (const auto& file : loaded.files)
        record.loaded.push_back(file.filename().string());
    record.notes = loaded.notes;
    record.nudge = suffix;
    conclude(start, body, std::move(record));

    bool complete = result.failures.empty() && result.skipped == 0;
    return {complete ? ShareOutcome::Status::exported : ShareOutcome::Status::incomplete, body};
}

ShareOutcome ShareSession::failedShare(const std::vector<std::shared_ptr<ItemProvider>>& providers,
                                       std::chrono::steady_clock::time_point start,
                                       const std::string& reason) {
    ShareOutcome outcome{ShareOutcome::Status::incomplete, "Plenwick failed: " + reason};
    try {
        DiagnosticRecord record;
        record.items = static_cast<int64_t>(providers.size());
        record.providerTypes = typesOf(providers);
        conclude(start, outcome.body, std::move(record));
    } catch (...) {
        // The notification still says what happened.
    }
    return outcome;
}

void ShareSession::conclude(std::chrono::steady_clock::time_point start, const std::string& body,
                            DiagnosticRecord record) {
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    record.summary = summaryLine(seconds, body);
    shareLog.info("%s", record.summary.c_str());
    record.date = std::chrono::system_clock::now();
    appendDiagnostic(record.text());
}

void ShareSession::finish(const std::string& body) {
    // The server is never told the identifier: without one the outcome is still shown.
    auto identifier = Uuid::random();
    if (!identifier)
        shareLog.error("notification without an identifier: %s",
                       identifier.error().message.c_str());
    NotificationRequest request{identifier.valueOr({}), "Plenwick", body};
    if (auto posted = NotificationCenter::current().add(request); !posted)
        shareLog.error("notification failed: %s", posted.error().message.c_str());
    if (m_request && m_request->onFinished)
        m_request->onFinished();
}

std::string ShareSession::composeBody(const ExportResult& result,
                                      const std::optional<std::string>& suffix) {
    if (result.failures.empty() && !result.written.empty() && suffix)
        return result.notificationText + *suffix;
    return result.notificationText;
}

std::string ShareSession::progressLabel(int64_t finished, int64_t total) {
    return std::string(label) + " " + std::to_string(finished) + " of " + std::to_string(total);
}

std::string ShareSession::summaryLine(double seconds, const std::string& body) {
    return Log::format("share finished in %.2fs: ", seconds) + body;
}

void ShareSession::appendDiagnostic(const std::string& record) {
    std::filesystem::path root = SpecStore::outputRoot();
    std::error_code ignored;
    std::filesystem::create_directories(root, ignored);
    std::string line = record + "\n";
    // O_APPEND with one write: records of shares finishing at the same moment never interleave.
    auto opened = FileDescriptor::open(
        root / ".plenwick.log", O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (!opened) {
        shareLog.error("diagnostic record not written: %s", opened.error().message.c_str());
        return;
    }
    const FileDescriptor& log = opened.value();
    // Held around the write, the check and the cut, so that no other share appends between
    // them and loses its record to the cut. A file system without locks is written as it is.
    if (!lockLog(log)) {
        shareLog.error("diagnostic record not written: the log stays locked");
        return;
    }
    ssize_t written = ::write(log.get(), line.data(), line.size());
    if (written == static_cast<ssize_t>(line.size()))
        return;
    SystemError failure = SystemError::fromErrno({}, written < 0 ? errno : ENOSPC);
    // A full disk may take part of the line: cut it off again, so that every record in the file
    // stays whole. The size is looked at all the same: a program that ignores the lock may have
    // appended since.
    struct stat status {};
    off_t end = ::lseek(log.get(), 0, SEEK_CUR);
    if (written > 0 && end >= written && ::fstat(log.get(), &status) == 0 &&
        status.st_size == end) {
        [[maybe_unused]] int cut = ::ftruncate(log.get(), end - written);
    }
    shareLog.error("diagnostic record not written: %s", failure.message.c_str());
}

} // namespace plenwick
