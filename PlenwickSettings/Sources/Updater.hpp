#pragma once

#include "BackgroundJobs.hpp"
#include "UpdateCheck.hpp"

#include <cstdint>
#include <string>
#include <string_view>

#include <QObject>
#include <QString>

namespace plenwick {

// The settings application's updater: it starts once the application runs, and from then on
// runs user-initiated checks of the appcast and tells their answer in a dialog. No check starts
// before, nor while one runs or its answer is still on screen; the window and the menu follow
// canCheckForUpdates.
class Updater : public QObject {
    Q_OBJECT

public:
    // For this build and the feed of the environment.
    explicit Updater(QObject* parent = nullptr);
    Updater(std::string feedURL, int64_t currentBuild, QString currentVersion,
            QObject* parent = nullptr);

    bool canCheckForUpdates() const { return m_started && !m_checking; }
    // Starts a check unless one may not start now.
    void checkForUpdates();

    // "0.1.0 (7)": the version and the build of this program.
    static QString versionString();
    // The version and the build as given, "?" for one that is missing: "0.1.0 (?)".
    static QString versionString(std::string_view version, std::string_view build);
    // The build number this program was made as; 0 when the build gave none that reads as one.
    static int64_t currentBuild();

signals:
    void canCheckForUpdatesChanged();

private:
    void start();
    void setChecking(bool checking);
    void present(const UpdateCheck& check);

    std::string m_feedURL;
    int64_t m_currentBuild;
    QString m_currentVersion;
    bool m_started = false;
    bool m_checking = false;
    // Last member: a check still waiting on the network is stopped and joined first.
    BackgroundJobs m_jobs;
};

} // namespace plenwick
