#include "PlenwickApp.hpp"

#include <QApplication>
#include <QIcon>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName("plenwick");
    QApplication::setDesktopFileName("plenwick");
    QApplication::setWindowIcon(QIcon::fromTheme("plenwick"));

    plenwick::PlenwickApp app;
    app.show();
    return QApplication::exec();
}
