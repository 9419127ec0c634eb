#pragma once

#include "BackgroundJobs.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <QStringList>
#include <QWidget>

class QFormLayout;
class QLabel;
class QPushButton;
class QVBoxLayout;

namespace plenwick {

class SpecSection;
class SpecsModel;
class Updater;

// The settings form: one section per spec, the output folder, the notification permission and
// the version with the update check. Edits go straight into the model, which saves them. Photos
// dropped on it are shared.
class SettingsForm : public QWidget {
    Q_OBJECT

public:
    static constexpr int formWidth = 420;

    // Builds the window's own model over the shared preferences.
    explicit SettingsForm(Updater& updater, QWidget* parent = nullptr);
    SettingsForm(Updater& updater, std::unique_ptr<SpecsModel> model, QWidget* parent = nullptr);
    ~SettingsForm() override;

    SpecsModel& model() { return *m_model; }

    // The words for a notification authorization status.
    static QString statusText(int64_t status);

    // Starts a share of `files` on its own; photos dropped on the window come here too.
    void sharePhotos(const QStringList& files);

signals:
    // A share was started for photos given to the window, as process `pid`.
    void shareStarted(qint64 pid);

protected:
    void showEvent(QShowEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    QWidget* outputSection();
    QWidget* notificationSection();
    QWidget* versionSection();

    void specsChanged();
    void rebuildSpecSections();
    void notificationStatusChanged();
    void reveal();

    Updater& m_updater;
    std::unique_ptr<SpecsModel> m_model;
    QVBoxLayout* m_specLayout = nullptr;
    std::vector<SpecSection*> m_sections;
    std::vector<std::string> m_sectionIds;
    QLabel* m_status = nullptr;
    QFormLayout* m_notificationForm = nullptr;
    int m_enableRow = 0;
    QPushButton* m_enableNotifications = nullptr;
    QPushButton* m_checkForUpdates = nullptr;
    // The photos among the files of the drag over the form, judged as it entered.
    QStringList m_draggedPhotos;
    // Last member: a reveal still asking the file manager is joined before the rest goes.
    BackgroundJobs m_jobs;
};

} // namespace plenwick
