#include "PlenwickApp.hpp"

#include <exception>
#include <iostream>

#include <QApplication>
#include <QIcon>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName("plenwick");
    QApplication::setDesktopFileName("plenwick");
    QApplication::setWindowIcon(QIcon::fromTheme("plenwick"));

    // The window swallows its own failures; this only keeps anything that still escapes from
    // aborting the program.
    try {
        plenwick::PlenwickApp app;
        app.show();
        return QApplication::exec();
    } catch (const std::exception& error) {
        std::cerr << "plenwick: " << error.what() << "\n";
    } catch (...) {
        std::cerr << "plenwick: an unexpected error\n";
    }
    return 1;
}
