#pragma once

#include <cstdint>
#include <string_view>

#include <QString>
#include <QUrl>

namespace plenwick {

// What one user-initiated update check found, ready to be told.
struct UpdateCheck {
    enum class Outcome { upToDate, available, failed };

    Outcome outcome = Outcome::failed;
    // available: the newest build the feed announces.
    int64_t latestBuild = 0;
    // available: the newest build's download, else its release page; empty when the feed
    // names neither as an http or https address.
    QUrl page;
    // failed: why, in words for the user.
    QString reason;

    static UpdateCheck failure(QString reason);
    // The answer for a fetched feed document, read by the appcast parse the share uses.
    static UpdateCheck evaluate(std::string_view feed, int64_t currentBuild);
};

} // namespace plenwick
