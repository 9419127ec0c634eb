#pragma once

#include <memory>
#include <string>
#include <thread>

#include <QMainWindow>

class QAction;

namespace plenwick {

class SettingsForm;
class Updater;

// The application's frame: the one updater of the process and the one settings window, whose
// menu holds "Check for Updates…" beside the window's own button and "Export Photos…".
class SettingsWindow {
public:
    // Creates the updater and the window for the shared preferences, and
    // removes, off the GUI thread, what shares that died left behind.
    SettingsWindow();
    // The same frame over a given updater.
    explicit SettingsWindow(std::unique_ptr<Updater> updater);
    ~SettingsWindow();
    SettingsWindow(const SettingsWindow&) = delete;
    SettingsWindow& operator=(const SettingsWindow&) = delete;

    Updater& updater() { return *m_updater; }
    QMainWindow& window() { return *m_window; }
    SettingsForm& content() { return *m_content; }
    QAction& checkForUpdatesCommand() { return *m_checkForUpdates; }
    QAction& exportPhotosCommand() { return *m_exportPhotos; }

    // Shows the window; `activationToken` is the one this launch was given by the desktop,
    // when there was one.
    void show(const std::string& activationToken = {});
    // Brings the window to the front for another launch; `activationToken` is the one that
    // launch was given by the desktop, when there was one.
    void raise(const std::string& activationToken);

private:
    // Asks for the window to take the focus, with the token that lets it.
    void activate(const std::string& activationToken);
    // Opens the platform's file dialog for photos; the chosen ones are shared.
    void choosePhotos();

    std::unique_ptr<Updater> m_updater;
    std::unique_ptr<QMainWindow> m_window;
    SettingsForm* m_content;
    QAction* m_checkForUpdates;
    QAction* m_exportPhotos;
    // Removes what dead shares left behind; joined when the application goes.
    std::jthread m_leftovers;
};

} // namespace plenwick
