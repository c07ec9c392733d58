#include "database.h"
#include "desktopintegration.h"
#include "mainwindow.h"
#include "messagebox.h"
#include "singleinstance.h"

#include <QApplication>
#include <QDir>
#include <QTextStream>

#include <cstdio>
#include <cstring>

namespace {

#ifndef _WIN32
const char usage[] = "Usage: voltrine [--desktop]\n"
                     "Watches a UPS through apcupsd's network server, from the system tray.\n"
                     "\n"
                     "  --desktop   keep the settings and the trace in ~/.local/share/Voltrine\n"
                     "  --help      print this and exit\n"
                     "  --version   print the version and exit\n";
#endif

} // namespace

int main(int argc, char *argv[])
{
#ifndef _WIN32
    // Answered before the application is made: no display is needed for them.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("Voltrine %s\n", VOLTRINE_VERSION);
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(usage, stdout);
            return 0;
        }
    }
#endif
    DesktopIntegration::skipGlIntegration();
    QApplication application(argc, argv);
    DesktopIntegration::nameAfterMenuEntry();
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
    DataBase::setFailureNotice(MessageBox::showNotice);
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
