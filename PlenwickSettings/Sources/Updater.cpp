#include "Updater.hpp"

#include <QApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QPushButton>

namespace plenwick {

Updater::Updater(std::string feedURL, int64_t currentBuild, QString currentVersion,
                 FeedLoader fetch, QObject* parent)
    : QObject(parent), m_feedURL(std::move(feedURL)), m_currentBuild(currentBuild),
      m_currentVersion(std::move(currentVersion)), m_fetch(std::move(fetch)) {}

void Updater::start() {
    if (m_started)
        return;
    m_started = true;
    emit canCheckForUpdatesChanged();
}

void Updater::setChecking(bool checking) {
    if (checking == m_checking)
        return;
    m_checking = checking;
    emit canCheckForUpdatesChanged();
}

void Updater::checkForUpdates() {
    if (!canCheckForUpdates())
        return;
    setChecking(true);
    m_jobs.start(
        this,
        [fetch = m_fetch, url = m_feedURL, build = m_currentBuild](std::stop_token stop) {
            auto document = fetch(url, stop);
            if (!document)
                return UpdateCheck::failure(document.error());
            return UpdateCheck::evaluate(document.value(), build);
        },
        [this](UpdateCheck check) { present(check); });
}

void Updater::present(const UpdateCheck& check) {
    auto* box = new QMessageBox(QApplication::activeWindow());
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setObjectName("updateAnswer");
    box->setWindowTitle(tr("Software Update"));
    switch (check.outcome) {
    case UpdateCheck::Outcome::upToDate:
        box->setIcon(QMessageBox::Information);
        box->setText(tr("You’re up to date."));
        box->setInformativeText(
            tr("Plenwick %1 is the newest version available.").arg(m_currentVersion));
        box->setStandardButtons(QMessageBox::Ok);
        break;
    case UpdateCheck::Outcome::available:
        box->setIcon(QMessageBox::Information);
        box->setText(tr("A new version of Plenwick is available."));
        box->setInformativeText(tr("Build %1 has been published; you have %2.")
                                    .arg(check.latestBuild)
                                    .arg(m_currentVersion));
        if (check.page.isEmpty()) {
            box->setStandardButtons(QMessageBox::Ok);
        } else {
            QPushButton* download = box->addButton(tr("Download…"), QMessageBox::AcceptRole);
            download->setObjectName("download");
            box->addButton(tr("Later"), QMessageBox::RejectRole);
            box->setDefaultButton(download);
            connect(download, &QPushButton::clicked, this,
                    [page = check.page] { QDesktopServices::openUrl(page); });
        }
        break;
    case UpdateCheck::Outcome::failed:
        box->setIcon(QMessageBox::Warning);
        box->setText(tr("The update check failed."));
        box->setInformativeText(check.reason);
        box->setStandardButtons(QMessageBox::Ok);
        break;
    }
    // The check ends when its answer has been read.
    connect(box, &QMessageBox::finished, this, [this] { setChecking(false); });
    box->open();
}

} // namespace plenwick
