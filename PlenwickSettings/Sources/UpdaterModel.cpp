#include "UpdaterModel.hpp"

#include "PlenwickCore/AppcastCheck.hpp"
#include "PlenwickCore/BuildInfo.hpp"
#include "Updater.hpp"

namespace plenwick {

UpdaterModel::UpdaterModel(QObject* parent)
    : UpdaterModel(std::make_unique<Updater>(AppcastCheck::feedURLFromEnvironment(), currentBuild(),
                                             versionString()),
                   parent) {}

UpdaterModel::UpdaterModel(std::unique_ptr<Updater> updater, QObject* parent)
    : QObject(parent), m_updater(std::move(updater)) {
    m_updater->start();
    connect(m_updater.get(), &Updater::canCheckForUpdatesChanged, this,
            &UpdaterModel::updaterReported);
    // The first report is the updater's state right now.
    updaterReported();
}

UpdaterModel::~UpdaterModel() = default;

void UpdaterModel::updaterReported() {
    // The value is read when the report comes and written later on the GUI thread, so the
    // window and the menu start disabled and follow the updater's reports in order.
    bool canCheck = m_updater->canCheckForUpdates();
    QMetaObject::invokeMethod(
        this, [this, canCheck] { setCanCheckForUpdates(canCheck); }, Qt::QueuedConnection);
}

void UpdaterModel::setCanCheckForUpdates(bool canCheck) {
    if (canCheck == m_canCheckForUpdates)
        return;
    m_canCheckForUpdates = canCheck;
    emit canCheckForUpdatesChanged();
}

void UpdaterModel::checkForUpdates() {
    m_updater->checkForUpdates();
}

QString UpdaterModel::versionString() {
    return versionString(BuildInfo::version(), BuildInfo::build());
}

QString UpdaterModel::versionString(std::string_view version, std::string_view build) {
    auto shown = [](std::string_view text) {
        return text.empty() ? QStringLiteral("?")
                            : QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    };
    return QStringLiteral("%1 (%2)").arg(shown(version), shown(build));
}

int64_t UpdaterModel::currentBuild() {
    return BuildInfo::buildNumber();
}

} // namespace plenwick
