#include "mainwindow.h"
#include "windowfit.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // Must be set before the application object exists to take effect.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QApplication app(argc, argv);
    // Where the connection of the last session is kept (~/.config/Velmora/Brisca.conf).
    QCoreApplication::setOrganizationName(QStringLiteral("Velmora"));
    QCoreApplication::setApplicationName(QStringLiteral("Brisca"));

    MainWindow window;
    WindowFit::fitToScreen(&window);
    window.show();
    return app.exec();
}
