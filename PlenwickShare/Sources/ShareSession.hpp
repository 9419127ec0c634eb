#pragma once

#include "DiagnosticRecord.hpp"
#include "PlenwickCore/ExportResult.hpp"
#include "ShareOutcome.hpp"
#include "ShareRequest.hpp"
#include "ShareView.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace plenwick {

// One share from the host's hand-over to the notification: stages the items, exports them for
// every spec, logs the summary, appends the diagnostic record and posts the notification. It
// runs on a thread of its own, so the view's thread stays free; dismissing the view cancels it.
class ShareSession {
public:
    static constexpr std::string_view label = "Exporting for Instagram, Threads and Facebook…";
    // The label once the export of more than one photo runs: "… 37 of 120" photos finished.
    // The numbers are plain digits, the same in every locale.
    static std::string progressLabel(int64_t finished, int64_t total);

    ShareSession(std::optional<ShareRequest> request, ShareView& view);
    // Waits for a running share: a dismissed share still finishes what it started.
    ~ShareSession();
    ShareSession(const ShareSession&) = delete;
    ShareSession& operator=(const ShareSession&) = delete;

    // Shows the label and starts the share on its own thread; a second call does nothing.
    void start();
    // Asks a running share to stop: it posts nothing and ends as dismissed.
    void cancel();

    // Waits for the share to end and tells how it ended; nothing when none was started.
    std::optional<ShareOutcome> wait();

    // The pieces of a share's text, as the notification and the log show them.
    static std::string composeBody(const ExportResult& result,
                                   const std::optional<std::string>& suffix);
    static std::string summaryLine(double seconds, const std::string& body);
    // One record, without its line feed, appended to .plenwick.log in the output root.
    static void appendDiagnostic(const std::string& record);

private:
    static ShareOutcome exportProviders(const std::vector<std::shared_ptr<ItemProvider>>& providers,
                                        ShareView& view,
                                        std::chrono::steady_clock::time_point start,
                                        std::stop_token stop);
    // A share that could not run: its body says why, and it is logged and recorded as usual.
    static ShareOutcome failedShare(const std::vector<std::shared_ptr<ItemProvider>>& providers,
                                    std::chrono::steady_clock::time_point start,
                                    const std::string& reason);
    // Logs the summary line of `body` and appends `record` with it.
    static void conclude(std::chrono::steady_clock::time_point start, const std::string& body,
                         DiagnosticRecord record);
    static std::vector<std::string>
    typesOf(const std::vector<std::shared_ptr<ItemProvider>>& providers);
    void finish(const std::string& body);

    std::optional<ShareRequest> m_request;
    ShareView& m_view;
    bool m_started = false;
    std::optional<ShareOutcome> m_outcome;
    // Last member: it is joined before the rest of the session goes.
    std::jthread m_exportTask;
};

} // namespace plenwick
