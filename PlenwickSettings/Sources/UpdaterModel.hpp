#pragma once

#include <memory>
#include <string_view>

#include <QObject>
#include <QString>

namespace plenwick {

class Updater;

// What the window and the menu see of the updater: whether a check may start now, the action
// that starts one, and the version text. The updater's reports are mirrored on the GUI thread.
class UpdaterModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool canCheckForUpdates READ canCheckForUpdates WRITE setCanCheckForUpdates NOTIFY
                   canCheckForUpdatesChanged)

public:
    // Creates and starts the updater for this build and the feed of the environment.
    explicit UpdaterModel(QObject* parent = nullptr);
    // Mirrors the given updater, which it starts.
    explicit UpdaterModel(std::unique_ptr<Updater> updater, QObject* parent = nullptr);
    ~UpdaterModel() override;

    bool canCheckForUpdates() const { return m_canCheckForUpdates; }
    void setCanCheckForUpdates(bool canCheck);

    void checkForUpdates();

    Updater& updater() { return *m_updater; }

    // "0.1.0 (7)": the version and the build of this program.
    static QString versionString();
    // The version and the build as given, "?" for one that is missing: "0.1.0 (?)".
    static QString versionString(std::string_view version, std::string_view build);
    // The build number this program was made as; 0 when the build gave none that reads as one.
    static int64_t currentBuild();

signals:
    void canCheckForUpdatesChanged();

private:
    void updaterReported();

    bool m_canCheckForUpdates = false;
    std::unique_ptr<Updater> m_updater;
};

} // namespace plenwick
