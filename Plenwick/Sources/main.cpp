#include "ApplicationInstance.hpp"
#include "PlenwickApp.hpp"

#include <exception>
#include <iostream>

#include <QApplication>
#include <QIcon>

using namespace plenwick;

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName("plenwick");
    QApplication::setDesktopFileName(ApplicationInstance::applicationID);
    QApplication::setWindowIcon(QIcon::fromTheme("plenwick"));

    // One settings window per session, so that two never save over each other's edits.
    ApplicationInstance instance;
    const ApplicationInstance::Claimed claimed = instance.claim();
    switch (claimed.outcome) {
    case SingleInstance::Outcome::handedOver:
        return 0;
    case SingleInstance::Outcome::unanswered:
        std::cerr << "plenwick: the settings window that is open does not answer: "
                  << claimed.failure << "\n";
        return 1;
    case SingleInstance::Outcome::noBus:
    case SingleInstance::Outcome::first:
        break;
    }

    // The window swallows its own failures; this only keeps anything that still escapes from
    // aborting the program.
    try {
        PlenwickApp app;
        QObject::connect(&instance, &ApplicationInstance::activated, &application,
                         [&app](const std::string& token) { app.raise(token); });
        app.show();
        return QApplication::exec();
    } catch (const std::exception& error) {
        std::cerr << "plenwick: " << error.what() << "\n";
    } catch (...) {
        std::cerr << "plenwick: an unexpected error\n";
    }
    return 1;
}
