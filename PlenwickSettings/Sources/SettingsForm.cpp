#include "SettingsForm.hpp"

#include "PlatformServices/FileManager.hpp"
#include "PlenwickCore/SpecStore.hpp"
#include "ShareLauncher.hpp"
#include "SpecSection.hpp"
#include "SpecsModel.hpp"
#include "TipLink.hpp"
#include "Updater.hpp"

#include <filesystem>
#include <optional>
#include <utility>

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMimeData>
#include <QProcess>
#include <QPushButton>
#include <QShowEvent>
#include <QUrl>
#include <QVBoxLayout>

namespace plenwick {

namespace {

std::vector<std::string> idsOf(const std::vector<ExportSpec>& specs) {
    std::vector<std::string> ids;
    ids.reserve(specs.size());
    for (const ExportSpec& spec : specs)
        ids.push_back(spec.id);
    return ids;
}

// A value shown on the trailing side of its row.
QLabel* value(const QString& text) {
    auto* label = new QLabel(text);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

// Buttons side by side on a row of their own, vertically centred.
QHBoxLayout* buttonRow() {
    auto* row = new QHBoxLayout;
    row->setAlignment(Qt::AlignVCenter);
    return row;
}

} // namespace

SettingsForm::SettingsForm(Updater& updater, QWidget* parent)
    : SettingsForm(updater, SpecsModel::openShared(), parent) {}

SettingsForm::SettingsForm(Updater& updater, std::unique_ptr<SpecsModel> model, QWidget* parent)
    : QWidget(parent), m_updater(updater), m_model(std::move(model)) {
    setFixedWidth(formWidth);
    setAcceptDrops(true);
    auto* layout = new QVBoxLayout(this);
    m_specLayout = new QVBoxLayout;
    m_specLayout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(m_specLayout);
    layout->addWidget(outputSection());
    layout->addWidget(notificationSection());
    layout->addWidget(versionSection());

    rebuildSpecSections();
    notificationStatusChanged();
    connect(m_model.get(), &SpecsModel::specsChanged, this, &SettingsForm::specsChanged);
    connect(m_model.get(), &SpecsModel::notificationStatusChanged, this,
            &SettingsForm::notificationStatusChanged);
    m_checkForUpdates->setEnabled(m_updater.canCheckForUpdates());
    connect(&m_updater, &Updater::canCheckForUpdatesChanged, this,
            [this] { m_checkForUpdates->setEnabled(m_updater.canCheckForUpdates()); });
}

SettingsForm::~SettingsForm() = default;

QString SettingsForm::statusText(int64_t status) {
    switch (status) {
    case SpecsModel::notDetermined:
        return QStringLiteral("not asked yet");
    case SpecsModel::denied:
        return QStringLiteral("unavailable (no notification service is running)");
    case SpecsModel::authorized:
        return QStringLiteral("allowed");
    default:
        return QStringLiteral("limited");
    }
}

QWidget* SettingsForm::outputSection() {
    auto* box = new QGroupBox;
    auto* form = new QFormLayout(box);
    form->addRow(tr("Output folder"),
                 new QLabel(tr("~/Pictures/Socials (created on first export)")));
    auto* row = buttonRow();
    auto* reveal = new QPushButton(tr("Show in File Manager"));
    reveal->setObjectName("reveal");
    auto* reset = new QPushButton(tr("Reset to defaults"));
    reset->setObjectName("reset");
    row->addWidget(reveal);
    row->addWidget(reset);
    row->addStretch();
    form->addRow(row);
    connect(reveal, &QPushButton::clicked, this, &SettingsForm::reveal);
    connect(reset, &QPushButton::clicked, this,
            [this] { m_model->setSpecs(ExportSpec::defaults()); });
    return box;
}

QWidget* SettingsForm::notificationSection() {
    auto* box = new QGroupBox(tr("Notifications"));
    auto* form = new QFormLayout(box);
    m_status = value({});
    m_status->setObjectName("status");
    m_status->setWordWrap(true);
    form->addRow(tr("Status"), m_status);
    m_enableNotifications = new QPushButton(tr("Enable notifications"));
    m_enableNotifications->setObjectName("enableNotifications");
    auto* row = buttonRow();
    row->addWidget(m_enableNotifications);
    row->addStretch();
    form->addRow(row);
    m_notificationForm = form;
    m_enableRow = form->rowCount() - 1;
    connect(m_enableNotifications, &QPushButton::clicked, this,
            [this] { m_model->requestNotificationPermission(); });
    return box;
}

QWidget* SettingsForm::versionSection() {
    auto* box = new QGroupBox;
    auto* form = new QFormLayout(box);
    auto* version = value(Updater::versionString());
    version->setObjectName("version");
    form->addRow(tr("Version"), version);
    auto* row = buttonRow();
    m_checkForUpdates = new QPushButton(tr("Check for Updates…"));
    m_checkForUpdates->setObjectName("checkForUpdates");
    row->addWidget(m_checkForUpdates);
    if (TipLink::url) {
        QUrl url(QString::fromUtf8(TipLink::url->data(), TipLink::url->size()));
        auto* tip = new QLabel(QStringLiteral("<a href=\"%1\">%2</a>")
                                   .arg(url.toString(QUrl::FullyEncoded).toHtmlEscaped(),
                                        tr("Buy me a coffee").toHtmlEscaped()));
        tip->setObjectName("tipLink");
        tip->setOpenExternalLinks(true);
        row->addWidget(tip);
    }
    row->addStretch();
    form->addRow(row);
    connect(m_checkForUpdates, &QPushButton::clicked, this,
            [this] { m_updater.checkForUpdates(); });
    return box;
}

void SettingsForm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // A window coming back from being minimised is no new showing of the form.
    if (!event->spontaneous())
        m_model->refreshNotificationStatus();
}

void SettingsForm::sharePhotos(const QStringList& files) {
    if (auto pid = ShareLauncher::share(files))
        emit shareStarted(*pid);
}

void SettingsForm::dragEnterEvent(QDragEnterEvent* event) {
    // The files are looked at once per drag, here: a move event comes with every movement of
    // the pointer, and the drag carries the same files all the way.
    m_draggedPhotos = ShareLauncher::photos(event->mimeData()->urls());
    if (!m_draggedPhotos.isEmpty())
        event->acceptProposedAction();
}

void SettingsForm::dragMoveEvent(QDragMoveEvent* event) {
    if (!m_draggedPhotos.isEmpty())
        event->acceptProposedAction();
}

void SettingsForm::dragLeaveEvent(QDragLeaveEvent*) {
    m_draggedPhotos.clear();
}

void SettingsForm::dropEvent(QDropEvent* event) {
    // Of a mixed drop only the photos go; the rest would only come back as unreadable.
    QStringList files = std::exchange(m_draggedPhotos, {});
    if (files.isEmpty())
        return;
    event->acceptProposedAction();
    sharePhotos(files);
}

void SettingsForm::specsChanged() {
    // Sections are keyed by position; a list of other ids, or another count, builds anew.
    if (idsOf(m_model->specs()) != m_sectionIds) {
        rebuildSpecSections();
        return;
    }
    for (SpecSection* section : m_sections)
        section->refresh();
}

void SettingsForm::rebuildSpecSections() {
    // The sections go later: one of them may be the sender of the change that got us here.
    for (SpecSection* section : m_sections) {
        m_specLayout->removeWidget(section);
        section->hide();
        section->deleteLater();
    }
    m_sections.clear();
    m_sectionIds = idsOf(m_model->specs());
    for (size_t i = 0; i < m_sectionIds.size(); ++i) {
        auto* section = new SpecSection(*m_model, i);
        m_specLayout->addWidget(section);
        m_sections.push_back(section);
    }
}

void SettingsForm::notificationStatusChanged() {
    int64_t status = m_model->notificationStatus();
    m_status->setText(statusText(status));
    // The whole row goes, so the section closes up around the status.
    m_notificationForm->setRowVisible(m_enableRow, status != SpecsModel::authorized);
}

void SettingsForm::reveal() {
    m_jobs.start(
        this,
        [](std::stop_token) -> std::optional<std::filesystem::path> {
            std::filesystem::path root = SpecStore::outputRoot();
            // A folder that cannot be made is still asked for: the file manager says so.
            std::error_code ignored;
            std::filesystem::create_directories(root, ignored);
            if (FileManager::showItems({root}).hasValue())
                return std::nullopt;
            return root;
        },
        [](std::optional<std::filesystem::path> unshown) {
            if (unshown)
                QProcess::startDetached(QStringLiteral("xdg-open"),
                                        {QFile::decodeName(unshown->c_str())});
        });
}

} // namespace plenwick
