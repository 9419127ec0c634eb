#include "Updater.hpp"

#include "PlatformServices/Expected.hpp"
#include "PlenwickCore/AppcastCheck.hpp"
#include "PlenwickCore/BuildInfo.hpp"
#include "PlenwickCore/FeedFetch.hpp"

#include <chrono>
#include <stop_token>

#include <QApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QPushButton>

namespace plenwick {

namespace {

// A person waits for this answer, so it may take longer than the share's quiet check.
constexpr std::chrono::seconds connectTimeout{5};
constexpr std::chrono::seconds totalTimeout{15};

// The feed document, or why there is none, in words for the user.
Expected<std::string, QString> fetchFeed(const std::string& url, std::stop_token stop) {
    auto fetched = FeedFetch::get(url, connectTimeout, totalTimeout, std::move(stop));
    if (!fetched) {
        switch (fetched.error().kind) {
        case FeedFetch::Failure::Kind::cancelled:
            return Updater::tr("The check was stopped.");
        case FeedFetch::Failure::Kind::tooLarge:
            return Updater::tr("The update feed is larger than a feed can be.");
        case FeedFetch::Failure::Kind::failed:
            break;
        }
        return Updater::tr("The update server could not be reached: %1.")
            .arg(QString::fromStdString(fetched.error().message));
    }
    FeedFetch::Answer& answer = fetched.value();
    if (answer.status < 200 || answer.status > 299)
        return Updater::tr("The update server answered with HTTP status %1.").arg(answer.status);
    return std::move(answer.body);
}

} // namespace

Updater::Updater(QObject* parent)
    : Updater(AppcastCheck::feedURLFromEnvironment(), currentBuild(), versionString(), parent) {}

Updater::Updater(std::string feedURL, int64_t currentBuild, QString currentVersion, QObject* parent)
    : QObject(parent), m_feedURL(std::move(feedURL)), m_currentBuild(currentBuild),
      m_currentVersion(std::move(currentVersion)) {
    // Started on the GUI thread's first turn, so the window and the menu start disabled.
    QMetaObject::invokeMethod(this, &Updater::start, Qt::QueuedConnection);
}

void Updater::start() {
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
        [url = m_feedURL, build = m_currentBuild](std::stop_token stop) {
            auto document = fetchFeed(url, stop);
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

QString Updater::versionString() {
    return versionString(BuildInfo::version(), BuildInfo::build());
}

QString Updater::versionString(std::string_view version, std::string_view build) {
    auto shown = [](std::string_view text) {
        return text.empty() ? QStringLiteral("?")
                            : QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    };
    return QStringLiteral("%1 (%2)").arg(shown(version), shown(build));
}

int64_t Updater::currentBuild() {
    return BuildInfo::buildNumber();
}

} // namespace plenwick
