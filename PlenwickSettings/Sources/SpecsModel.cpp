#include "SpecsModel.hpp"

#include "PlatformServices/Log.hpp"
#include "PlatformServices/Preferences.hpp"

namespace plenwick {

SpecsModel::SpecsModel(SpecStore store, NotificationPermission notifications, QObject* parent)
    : QObject(parent), m_specs(store.load()), m_lastStored(m_specs), m_store(std::move(store)),
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
    if (auto saved = m_store.save(m_specs); saved)
        m_lastStored = m_store.load();
    else
        Log("preferences").error("spec list not saved: %s", saved.error().message.c_str());
    if (changed)
        emit specsChanged();
}

void SpecsModel::editSpec(size_t index, const std::function<void(ExportSpec&)>& change) {
    if (index >= m_specs.size())
        return;
    std::vector<ExportSpec> stored = m_store.load();
    if (stored == m_lastStored) {
        std::vector<ExportSpec> edited = m_specs;
        change(edited[index]);
        setSpecs(std::move(edited));
        return;
    }
    // Written elsewhere since: that list is the one to edit. When the spec the user edited is no
    // longer at that place, the edit cannot be placed; the window shows what is stored instead.
    if (index < stored.size() && stored[index].id == m_specs[index].id) {
        change(stored[index]);
        setSpecs(std::move(stored));
        return;
    }
    m_lastStored = stored;
    bool changed = stored != m_specs;
    m_specs = std::move(stored);
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
