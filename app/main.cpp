#include "desktopintegration.h"
#include "mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    // Before the settings and the trace log open their files.
    DesktopIntegration::chooseDataFolder(QCoreApplication::arguments());
    DesktopIntegration::useFormFont();
    int exitCode;
    {
        MainWindow window;
        window.show();
        exitCode = application.exec();
    }
    return exitCode;
}
