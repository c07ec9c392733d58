#include "desktopintegration.h"
#include "mainwindow.h"
#include "singleinstance.h"

#include <QApplication>
#include <QDir>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    // Before the settings and the trace log open their files.
    DesktopIntegration::chooseDataFolder(QCoreApplication::arguments());
    // A second program on the same folder would write every row twice.
    const QString folder = QDir::currentPath();
    SingleInstance instance(folder);
    switch (instance.claim()) {
    case SingleInstance::Outcome::Runs:
        break;
    case SingleInstance::Outcome::OtherShown:
        QTextStream(stderr) << "Voltrine already runs for " << QDir::toNativeSeparators(folder)
                            << ": its window is shown" << Qt::endl;
        return 0;
    case SingleInstance::Outcome::OtherSilent:
        QTextStream(stderr) << "Voltrine already runs for " << QDir::toNativeSeparators(folder)
                            << " but does not answer" << Qt::endl;
        return 0;
    }
    DesktopIntegration::useFormFont();
    int exitCode;
    {
        MainWindow window;
        // Also brings it back from the tray or the task bar.
        QObject::connect(&instance, &SingleInstance::activationRequested, &window, [&window] {
            window.show();
            window.setWindowState(window.windowState() & ~Qt::WindowMinimized);
            window.raise();
            window.activateWindow();
        });
        window.show();
        exitCode = application.exec();
    }
    return exitCode;
}
