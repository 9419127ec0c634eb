#include "SettingsWindow.hpp"

#include "PlatformServices/Log.hpp"
#include "PlenwickCore/Leftovers.hpp"
#include "PlenwickCore/SpecStore.hpp"
#include "SettingsForm.hpp"
#include "ShareLauncher.hpp"
#include "SpecsModel.hpp"
#include "Updater.hpp"

#include <QAction>
#include <QApplication>
#include <QFileDialog>
#include <QGuiApplication>
#include <QLayout>
#include <QMenu>
#include <QMenuBar>
#include <QStandardPaths>

namespace plenwick {

SettingsWindow::SettingsWindow() : SettingsWindow(std::make_unique<Updater>()) {}

SettingsWindow::SettingsWindow(std::unique_ptr<Updater> updater)
    : m_updater(std::move(updater)), m_window(std::make_unique<QMainWindow>()) {
    m_window->setObjectName("main");
    m_window->setWindowTitle(QObject::tr("Plenwick"));
    m_content = new SettingsForm(*m_updater);
    m_window->setCentralWidget(m_content);

    QMenu* application = m_window->menuBar()->addMenu(QObject::tr("Plenwick"));
    m_checkForUpdates = application->addAction(QObject::tr("Check for Updates…"));
    m_checkForUpdates->setObjectName("checkForUpdatesCommand");
    application->addSeparator();
    m_exportPhotos = application->addAction(QObject::tr("Export Photos…"));
    m_exportPhotos->setObjectName("exportPhotosCommand");
    m_exportPhotos->setShortcut(QKeySequence::Open);
    application->addSeparator();
    QAction* quit = application->addAction(QObject::tr("Quit"));
    quit->setShortcut(QKeySequence::Quit);

    Updater* model = m_updater.get();
    m_checkForUpdates->setEnabled(model->canCheckForUpdates());
    QObject::connect(model, &Updater::canCheckForUpdatesChanged, m_checkForUpdates,
                     [this, model] { m_checkForUpdates->setEnabled(model->canCheckForUpdates()); });
    QObject::connect(m_checkForUpdates, &QAction::triggered, model,
                     [model] { model->checkForUpdates(); });
    QObject::connect(m_exportPhotos, &QAction::triggered, m_window.get(),
                     [this] { choosePhotos(); });
    QObject::connect(quit, &QAction::triggered, m_window.get(), &QMainWindow::close);

    // The window takes the size of its content, and the user cannot change it.
    m_window->layout()->setSizeConstraint(QLayout::SetFixedSize);

    m_leftovers =
        std::jthread([specs = m_content->model().specs(), root = SpecStore::outputRoot()] {
            try {
                Leftovers::remove(specs, root);
            } catch (...) {
                // What is left stays for the next share to remove.
            }
        });
}

SettingsWindow::~SettingsWindow() = default;

void SettingsWindow::show(const std::string& activationToken) {
    m_window->show();
    Log("window").info("settings window shown");
    if (!activationToken.empty())
        activate(activationToken);
}

void SettingsWindow::raise(const std::string& activationToken) {
    m_window->setWindowState(m_window->windowState() & ~Qt::WindowMinimized);
    m_window->show();
    m_window->raise();
    activate(activationToken);
    // What a second launch did, which the desktop shows only as focus moving.
    if (activationToken.empty())
        Log("window").info(
            "settings window raised for another launch, without an activation token");
    else
        Log("window").info("settings window raised for another launch, with activation token %s",
                           activationToken.c_str());
}

void SettingsWindow::activate(const std::string& activationToken) {
    // Wayland lets a window take the focus only with the token of the launch that asked for it,
    // and Qt's Wayland platform reads it from the environment as the window asks. Only there is
    // it put into the environment, and only for that one call: elsewhere the environment is not
    // touched while other threads may read it, and no share started later inherits a token.
    const bool tokenInEnvironment =
        !activationToken.empty() && QGuiApplication::platformName().startsWith(u"wayland");
    if (tokenInEnvironment)
        qputenv("XDG_ACTIVATION_TOKEN", QByteArray::fromStdString(activationToken));
    m_window->activateWindow();
    if (tokenInEnvironment)
        qunsetenv("XDG_ACTIVATION_TOKEN");
}

void SettingsWindow::choosePhotos() {
    // open() rather than QFileDialog::getOpenFileNames: no nested event loop, so the window
    // goes on handling raise requests and update answers while the dialog is up.
    auto* dialog = new QFileDialog(m_window.get(), QObject::tr("Export Photos"));
    dialog->setObjectName("exportPhotosDialog");
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setFileMode(QFileDialog::ExistingFiles);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setNameFilter(ShareLauncher::photoFilter());
    dialog->setDirectory(QStandardPaths::writableLocation(QStandardPaths::PicturesLocation));
    QObject::connect(dialog, &QFileDialog::filesSelected, m_content, &SettingsForm::sharePhotos);
    dialog->open();
}

} // namespace plenwick
