#pragma once

#include "BackgroundJobs.hpp"
#include "NotificationPermission.hpp"
#include "PlenwickCore/ExportSpec.hpp"
#include "PlenwickCore/SpecStore.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include <QObject>

namespace plenwick {

// The state behind the settings window: the spec list, saved whole on every assignment, and
// the last notification permission read from the notification centre. Lives on the GUI thread.
class SpecsModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(qint64 notificationStatus READ notificationStatus WRITE setNotificationStatus NOTIFY
                   notificationStatusChanged)

public:
    static constexpr int64_t notDetermined = 0;
    static constexpr int64_t denied = 1;
    static constexpr int64_t authorized = 2;

    // Loads the list from the store; neither saves nor notifies.
    SpecsModel(SpecStore store, NotificationPermission notifications, QObject* parent = nullptr);

    // The window's model: the suite both programs share (or the fallback the preferences pick) and
    // the desktop's notification centre.
    static std::unique_ptr<SpecsModel> openShared();

    const std::vector<ExportSpec>& specs() const { return m_specs; }
    // Saves the whole list, an unchanged one included; notifies only when it differs.
    void setSpecs(std::vector<ExportSpec> specs);
    // One edit of the spec at `index`, as the window makes it. The stored list is read first:
    // when another program has written it since, the edit goes onto that list (if the spec the
    // window shows at `index` is still there), so the other program's changes are kept.
    void editSpec(size_t index, const std::function<void(ExportSpec&)>& change);

    int64_t notificationStatus() const { return m_notificationStatus; }
    void setNotificationStatus(int64_t status);

    // Re-reads the status off the GUI thread and writes it here on the GUI thread.
    void refreshNotificationStatus();
    // Asks for permission, then refreshes whatever the answer was.
    void requestNotificationPermission();

signals:
    void specsChanged();
    void notificationStatusChanged();

private:
    std::vector<ExportSpec> m_specs;
    // The list as the suite held it when this model last read or wrote it.
    std::vector<ExportSpec> m_lastStored;
    int64_t m_notificationStatus = notDetermined;
    SpecStore m_store;
    NotificationPermission m_notifications;
    // Last member: its threads are joined before the others go.
    BackgroundJobs m_jobs;
};

} // namespace plenwick
