#pragma once

#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>

// How one run of an outside command is waited for: up to startMs for it to
// start, up to finishMs for it to end, then settleMs of sleep, close, and
// afterCloseMs of sleep.
struct CommandWaits
{
    int startMs = 500;
    int finishMs = 500;
    int settleMs = 100;
    int afterCloseMs = 0;
};

// Every wait of the service control, in milliseconds. The defaults are the
// program's; tests shorten the fixed sleeps and lengthen the bounded waits.
struct ControlWaits
{
    CommandWaits stopDaemon{500, 500, 1000, 100};
    CommandWaits stopService{500, 500, 100, 0};
    CommandWaits endTestTool{500, 500, 100, 0};
    CommandWaits restartEndDaemon{1000, 750, 500, 0};
    // The process list: start, each wait for more output, and the end.
    int processListMs = 1500;
    // Sleeps after the detached start of the daemon.
    int afterStartMs = 500;
    int afterRestartMs = 2000;
    // Linux: how long a daemon started directly may take to name itself in its
    // pid file, and how long systemctl and the configuration helper may take,
    // which includes the time the user needs to answer an authorisation prompt.
    int pidFileMs = 5000;
    int systemctlMs = 120000;
    int configHelperMs = 120000;

    // The self-test: time the network client gets to stop, the start of the
    // tool, how long the tool may stay silent before its menu, its answer and
    // its report are taken as complete, and the wait for a command to be written.
    int clientStopMs = 1000;
    int toolStartMs = 30000;
    int menuIdleMs = 2000;
    int answerIdleMs = 2000;
    int reportIdleMs = 60000;
    int writeMs = 30000;
    // The longest one read of the tool's output may last while the tool keeps
    // printing without a pause.
    int toolReadLimitMs = 300000;
    // How long the tool may take to end after the quit command before it is
    // ended, and again after it was ended.
    int toolQuitMs = 5000;
    int afterRestoreMs = 100;
};

// Where apcupsd lives on one kind of machine and how its processes are found
// and ended. One profile is chosen at compile time for the program (native());
// tests build their own, pointing into temporary directories.
struct InstallationProfile
{
    enum class ProcessListFormat {
        // "tasklist": header lines, then one line per process beginning with
        // the image name; only names ending in ".exe" are taken.
        Tasklist,
        // "ps -e -o comm=": one image name per line.
        ImageNames,
    };

    // How the daemon is started and stopped.
    enum class DaemonControl {
        // As designed for Windows: the process list, taskkill and net stop.
        ProcessCommands,
        // Through the service manager: systemctl on serviceUnit. systemd asks
        // the user for authorisation through polkit where needed.
        Systemd,
        // Without a service manager, with administrator rights: the daemon is
        // started directly, and only a daemon started so is ever stopped.
        Direct,
        // Without a service manager and without administrator rights: the
        // daemon is left as it is.
        Unmanaged,
    };

    // The daemon is root + daemonRelativePath, the test tool root +
    // testToolRelativePath, both with "\" turned into "/" and "//" into "/".
    QString apcupsdRoot;
    QString daemonRelativePath;
    QString testToolRelativePath;
    // Passed to the daemon when it is started; none in the program.
    QStringList daemonArguments;

    QString processListCommand;
    ProcessListFormat processListFormat = ProcessListFormat::Tasklist;
    QString daemonImage;
    QString testToolImage;
    // Vendor services: image name and service name. Empty where none exist.
    QString dataServiceImage;
    QString dataServiceName;
    QString upsServiceImage;
    QString upsServiceName;
    // Command lines; %1 is the image name or the service name.
    QString endProcessCommand;
    QString stopServiceCommand;

    // apcupsd.conf: its path, the line end, and the paths written into it.
    QString configFile;
    QString configLineEnd;
    QString scriptDir;
    QString powerFailDir;
    QString noLoginDir;
    QString eventsFile;
    QString statusFile;
    // The address of apcupsd's network server (NISIP) in a new file, and
    // whether a file's own address is kept when it is rewritten.
    QString nisAddress = QStringLiteral("0.0.0.0");
    bool keepsNisAddress = false;
    // Put before the port name on the DEVICE line of a serial UPS.
    QString serialDevicePrefix;
    // Directive and value pairs that replace the value of the same directive in
    // the written file, or are appended when it has none. Empty in the program;
    // tests use them to run apcupsd without a UPS on private ports.
    QVector<QPair<QString, QString>> configOverrides;

    // Linux. systemctl, the unit it manages, the pid file that the daemon
    // writes when started without arguments, and whether the program runs
    // with administrator rights.
    DaemonControl daemonControl = DaemonControl::ProcessCommands;
    QString systemctlProgram;
    QString serviceUnit;
    QString daemonPidFile;
    bool administrator = false;
    // The first line of apcupsd.conf; empty for none.
    QString configHeader;
    // The previous apcupsd.conf is kept beside it under its name followed by
    // this suffix; empty for no copy.
    QString configBackupSuffix;
    // The file as it was before the program first changed it (the
    // administrator's own) is kept once under this suffix, never replaced;
    // empty for no such copy.
    QString configOriginalSuffix;
    // The program and arguments that write apcupsd.conf with administrator
    // rights, given "usb" or "rs232" and a port name after them; empty where
    // no such helper can be used.
    QStringList configHelper;

    // What the configuration page looks for in the device list.
    QString deviceFilter;
    // The names of the machine's devices as the listing gives them; empty in
    // the program, which asks the machine. Tests list devices of their own.
    std::function<QStringList()> deviceListing;

    ControlWaits waits;

    QString daemonPath() const;
    QString testToolPath() const;

    static InstallationProfile windows();
    // Debian's apcupsd package, run by root without a service manager.
    static InstallationProfile linuxStandIn();
    // The profile of the platform the program was built for. On Linux it looks
    // at the running system: systemd as the init with apcupsd's unit loaded,
    // and whether the program runs as root.
    static InstallationProfile native();
};
