#include "SpecsModel.hpp"

#include "PlatformServices/Preferences.hpp"

namespace plenwick {

SpecsModel::SpecsModel(SpecStore store, NotificationPermission notifications, QObject* parent)
    : QObject(parent), m_specs(store.load()), m_store(std::move(store)),
      m_notifications(std::move(notifications)) {}

std::unique_ptr<SpecsModel> SpecsModel::openShared() {
    return std::make_unique<SpecsModel>(SpecStore(Preferences::openShared("plenwick")),
                                        NotificationPermission::desktop());
}

void SpecsModel::setSpecs(std::vector<ExportSpec> specs) {
    bool changed = specs != m_specs;
    m_specs = std::move(specs);
    // A failed save leaves the earlier list in the preferences and the new one on screen; the
    // next edit tries again.
    m_store.save(m_specs);
    if (changed)
        emit specsChanged();
}

void SpecsModel::setNotificationStatus(int64_t status) {
    if (status == m_notificationStatus)
        return;
    m_notificationStatus = status;
    emit notificationStatusChanged();
}

void SpecsModel::refreshNotificationStatus() {
    m_jobs.start(
        this, [status = m_notifications.status](std::stop_token) { return status(); },
        [this](int64_t status) { setNotificationStatus(status); });
}

void SpecsModel::requestNotificationPermission() {
    m_jobs.start(
        this,
        [permission = m_notifications](std::stop_token) {
            permission.request();
            return permission.status();
        },
        [this](int64_t status) { setNotificationStatus(status); });
}

} // namespace plenwick
