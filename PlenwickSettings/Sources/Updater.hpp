#pragma once

#include "BackgroundJobs.hpp"
#include "FeedRequest.hpp"
#include "PlatformServices/Expected.hpp"
#include "UpdateCheck.hpp"

#include <cstdint>
#include <functional>
#include <stop_token>
#include <string>

#include <QObject>
#include <QString>

namespace plenwick {

// The settings application's updater: once started, it runs user-initiated checks of the
// appcast and tells their answer in a dialog. No check starts while one runs or its answer is
// still on screen.
class Updater : public QObject {
    Q_OBJECT

public:
    // Fetches the feed document off the GUI thread; the error is the reason in words.
    using FeedLoader =
        std::function<Expected<std::string, QString>(const std::string& url, std::stop_token)>;

    Updater(std::string feedURL, int64_t currentBuild, QString currentVersion,
            FeedLoader fetch = FeedRequest::fetch, QObject* parent = nullptr);

    void start();
    bool canCheckForUpdates() const { return m_started && !m_checking; }
    // Starts a check unless one may not start now.
    void checkForUpdates();

signals:
    void canCheckForUpdatesChanged();

private:
    void setChecking(bool checking);
    void present(const UpdateCheck& check);

    std::string m_feedURL;
    int64_t m_currentBuild;
    QString m_currentVersion;
    FeedLoader m_fetch;
    bool m_started = false;
    bool m_checking = false;
    // Last member: a check still waiting on the network is stopped and joined first.
    BackgroundJobs m_jobs;
};

} // namespace plenwick
