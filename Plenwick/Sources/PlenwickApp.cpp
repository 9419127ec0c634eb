#include "PlenwickApp.hpp"

#include "ContentView.hpp"
#include "PlenwickCore/Leftovers.hpp"
#include "PlenwickCore/SpecStore.hpp"
#include "SpecsModel.hpp"
#include "UpdaterModel.hpp"

#include <QAction>
#include <QApplication>
#include <QLayout>
#include <QMenu>
#include <QMenuBar>

namespace plenwick {

PlenwickApp::PlenwickApp() : PlenwickApp(std::make_unique<UpdaterModel>()) {}

PlenwickApp::PlenwickApp(std::unique_ptr<UpdaterModel> updater)
    : m_updater(std::move(updater)), m_window(std::make_unique<QMainWindow>()) {
    m_window->setObjectName("main");
    m_window->setWindowTitle(QObject::tr("Plenwick"));
    m_content = new ContentView(*m_updater);
    m_window->setCentralWidget(m_content);

    QMenu* application = m_window->menuBar()->addMenu(QObject::tr("Plenwick"));
    m_checkForUpdates = application->addAction(QObject::tr("Check for Updates…"));
    m_checkForUpdates->setObjectName("checkForUpdatesCommand");
    application->addSeparator();
    QAction* quit = application->addAction(QObject::tr("Quit"));
    quit->setShortcut(QKeySequence::Quit);

    UpdaterModel* model = m_updater.get();
    m_checkForUpdates->setEnabled(model->canCheckForUpdates());
    QObject::connect(model, &UpdaterModel::canCheckForUpdatesChanged, m_checkForUpdates,
                     [this, model] { m_checkForUpdates->setEnabled(model->canCheckForUpdates()); });
    QObject::connect(m_checkForUpdates, &QAction::triggered, model,
                     [model] { model->checkForUpdates(); });
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

PlenwickApp::~PlenwickApp() = default;

void PlenwickApp::show() {
    m_window->show();
}

} // namespace plenwick
