#pragma once

#include "apcupsdcontrol.h"
#include "comthrd.h"
#include "core.h"
#include "database.h"
#include "logs.h"
#include "mainwindow.h"
#include "registry.h"
#include "testfiles.h"
#include "trayhost.h"

#include <QDir>
#include <QFile>
#include <QtTest>

#include <functional>
#include <memory>

// The program's subsystems for a window under test, on peers that cannot do
// harm: confdata and Trace.log in the given directory, and a service control
// whose process list and daemon are stand-ins there, or in standIns when
// given (the daemon only records its starts in daemon.starts), whose
// apcupsd.conf lies there too, and whose image names are the test's own, so
// that no process of the machine is ever listed, started or ended. The
// database and the network client follow the settings in confdata.
class WindowSubsystems
{
public:
    explicit WindowSubsystems(const QString &directory,
                              const std::function<void(InstallationProfile &)> &adjust = {},
                              const QString &standIns = QString())
        : dir(standIns.isEmpty() ? directory : standIns)
    {
        const QDir data(directory);
        // A refused connection is recorded instead of waiting in a message box.
        DataBase::setFailureNotice([this](const QString &text) { refusals.append(text); });
        logs = std::make_unique<Logs>(data.filePath(QStringLiteral("Trace.log")));
        registry =
                std::make_unique<Registry>(logs.get(), data.filePath(QStringLiteral("confdata")));
        writeScript(QStringLiteral("processes"), "echo init\n");
        writeScript(QStringLiteral("bin/daemon"),
                    "echo started >> '" +
                            QFile::encodeName(dir.filePath(QStringLiteral("daemon.starts"))) +
                            "'\n");
        client = std::make_unique<COMThrd>(registry.get(), logs.get());
        InstallationProfile profile = InstallationProfile::linuxStandIn();
        profile.apcupsdRoot = dir.path();
        profile.daemonRelativePath = QStringLiteral("/bin/daemon");
        profile.processListCommand = dir.filePath(QStringLiteral("processes"));
        profile.daemonImage = QStringLiteral("apcupsd-window-test");
        profile.testToolImage = QStringLiteral("apctest-window-test");
        profile.configFile = dir.filePath(QStringLiteral("apcupsd.conf"));
        profile.deviceListing = [] { return QStringList(); };
        // The stand-in daemon names no process in its pid file: not waited for.
        profile.daemonPidFile = dir.filePath(QStringLiteral("apcupsd.pid"));
        profile.waits.pidFileMs = 0;
        profile.waits.afterStartMs = 0;
        profile.waits.afterRestartMs = 0;
        profile.waits.stopDaemon.settleMs = 0;
        if (adjust)
            adjust(profile);
        control =
                std::make_unique<ApcUpsdControl>(profile, registry.get(), logs.get(), client.get());
        database = std::make_unique<DataBase>(registry.get(), logs.get());
        core = std::make_unique<Core>(client.get(), control.get(), database.get(), registry.get(),
                                      logs.get());
    }

    ~WindowSubsystems()
    {
        core->stop();
        core->wait(30000);
        client->stopAndWait(30000);
        DataBase::setFailureNotice({});
    }

    WindowSubsystems(const WindowSubsystems &) = delete;
    WindowSubsystems &operator=(const WindowSubsystems &) = delete;

    MainWindow::Subsystems subsystems() const
    {
        return {registry.get(), logs.get(), control.get(), client.get(),
                database.get(), core.get(), trayHost.get()};
    }

    std::unique_ptr<Logs> logs;
    std::unique_ptr<Registry> registry;
    std::unique_ptr<COMThrd> client;
    std::unique_ptr<ApcUpsdControl> control;
    std::unique_ptr<DataBase> database;
    std::unique_ptr<Core> core;
    // The offscreen platform has no tray: the window is tested as on a
    // desktop with one, unless a test clears this.
    std::unique_ptr<TrayHost> trayHost = std::make_unique<TrayHost>(TrayHost::Source::Fixed);
    // The texts of the refused database connections, oldest first.
    QStringList refusals;

private:
    void writeScript(const QString &name, const QByteArray &body)
    {
        const QString path = dir.filePath(name);
        QDir().mkpath(QFileInfo(path).absolutePath());
        writeFileBytes(path, "#!/bin/sh\n" + body);
        QFile::setPermissions(
                path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }

    QDir dir;
};
