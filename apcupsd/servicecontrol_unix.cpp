// The local apcupsd on Linux. The program runs as the user: the daemon goes
// through systemd, which asks the user for authorisation through polkit, and
// apcupsd.conf is written by a privileged helper started through pkexec.
// Without systemd, root starts the daemon directly. No process is ever ended
// by its name, and no signal goes to a daemon this object did not start.
#include "servicecontrol.h"

#include "commandrunner.h"
#include "logs.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QProcess>
#include <QSysInfo>
#include <QThread>

#include <signal.h>

using DaemonControl = InstallationProfile::DaemonControl;

namespace {

const auto leftAsItIs = QStringLiteral(
        "The local apcupsd is left as it is: starting and stopping it needs administrator rights");

struct CommandResult
{
    // Started, ended by itself within the wait, and with this exit code.
    bool ended = false;
    int exitCode = -1;
    // What it printed, both channels, or why it did not end.
    QString output;

    bool succeeded() const { return ended && exitCode == 0; }
};

// Waits for the command in short slices, so that the end of the program
// (abandoned) ends it at once rather than after a password dialog's minutes.
CommandResult runAndWait(const QString &program, const QStringList &arguments, int waitMs,
                         const std::atomic<bool> &abandoned)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForStarted(waitMs))
        return {false, -1, process.errorString()};
    QElapsedTimer waited;
    waited.start();
    while (!process.waitForFinished(50)) {
        if (process.state() == QProcess::NotRunning)
            break;
        if (!abandoned && !waited.hasExpired(waitMs))
            continue;
        // Our own child: ended here rather than left behind.
        process.kill();
        process.waitForFinished(waitMs);
        const QString why = abandoned ? QStringLiteral("Voltrine ended before %1 did").arg(program)
                                      : QStringLiteral("%1 did not answer in time").arg(program);
        return {false, -1, why};
    }
    const QString output = QString::fromLocal8Bit(process.readAll()).trimmed();
    if (process.exitStatus() != QProcess::NormalExit)
        return {false, -1, output.isEmpty() ? process.errorString() : output};
    return {true, process.exitCode(), output};
}

// True when pid is a live process (not a zombie) with this image name.
bool isLiveProcess(qint64 pid, const QString &image)
{
    if (pid <= 0)
        return false;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    // pid (name) state ...; the name may hold blanks and parentheses.
    const QByteArray line = stat.readAll();
    const int open = line.indexOf('(');
    const int close = line.lastIndexOf(')');
    if (open < 0 || close < open || close + 2 >= line.size())
        return false;
    // The kernel keeps the first 15 bytes of the name.
    const QByteArray name = line.mid(open + 1, close - open - 1);
    return name == QFile::encodeName(image).left(15) && line.at(close + 2) != 'Z';
}

qint64 pidInFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    return file.read(32).trimmed().toLongLong();
}

// Waits up to msecs for condition; true when it held.
template<typename Condition> bool waitFor(int msecs, Condition condition)
{
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        if (condition())
            return true;
        if (timer.hasExpired(msecs))
            return false;
        QThread::msleep(20);
    }
}

} // namespace

void ServiceControl::setWatchedHost(std::function<QString()> host)
{
    QMutexLocker locker(&sequenceMutex);
    watchedHost = std::move(host);
}

QString ServiceControl::configProblem() const
{
    QMutexLocker locker(&outcomeMutex);
    return lastConfigProblem;
}

bool ServiceControl::configLeftUnchanged() const
{
    QMutexLocker locker(&outcomeMutex);
    return !lastConfigSaved;
}

QString ServiceControl::daemonNotRunning() const
{
    QMutexLocker locker(&outcomeMutex);
    return daemonLeftStopped;
}

bool ServiceControl::watchesThisMachine() const
{
    const QString host = watchedHost ? watchedHost().trimmed() : QString();
    if (host.isEmpty() || host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    QHostAddress address;
    if (address.setAddress(host))
        return address.isLoopback() || QNetworkInterface::allAddresses().contains(address);
    const QString name = QSysInfo::machineHostName();
    return !name.isEmpty() &&
            (host.compare(name, Qt::CaseInsensitive) == 0 ||
             host.startsWith(name + QLatin1Char('.'), Qt::CaseInsensitive));
}

bool ServiceControl::canWriteConfigDirectly() const
{
    if (installation.administrator)
        return true;
    const QFileInfo file(installation.configFile);
    const QFileInfo folder(file.absolutePath());
    // The new file is written beside the old one and renamed over it.
    return folder.isWritable() && (!file.exists() || file.isWritable());
}

bool ServiceControl::configNeedsAdministrator() const
{
    return installation.daemonControl != DaemonControl::ProcessCommands &&
            installation.configHelper.isEmpty() && !canWriteConfigDirectly();
}

void ServiceControl::startManagedDaemon(Prompt prompt)
{
    trace(QStringLiteral("Starting apcupsd services"));
    if (!watchesThisMachine()) {
        setDaemonNotRunning(QString());
        trace(QStringLiteral("APC Server ") + watchedHost() +
              QStringLiteral(" is another machine: the local apcupsd is left as it is"));
        return;
    }
    switch (installation.daemonControl) {
    case DaemonControl::Systemd: {
        const QString unit = installation.serviceUnit;
        const CommandResult state =
                runAndWait(installation.systemctlProgram, {QStringLiteral("is-active"), unit},
                           installation.waits.systemctlMs, abandoned);
        if (state.succeeded()) {
            setDaemonNotRunning(QString());
            trace(QStringLiteral("APC Service (apcupsd) running"));
            return;
        }
        trace(QStringLiteral("Starting APC Service (apcupsd)"));
        // A start the user did not ask for never brings up a password
        // dialog: at login it would come from nowhere. Where systemd refuses
        // it, the user is told and may start it.
        QStringList arguments{QStringLiteral("start"), unit};
        if (prompt == Prompt::Never)
            arguments.prepend(QStringLiteral("--no-ask-password"));
        const CommandResult started = runAndWait(installation.systemctlProgram, arguments,
                                                 installation.waits.systemctlMs, abandoned);
        // Refused or failed: said once, and monitoring goes on without it.
        QString notRunning;
        if (!started.succeeded())
            notRunning = started.output.isEmpty()
                    ? QStringLiteral("systemctl ended with code %1").arg(started.exitCode)
                    : started.output;
        setDaemonNotRunning(notRunning);
        if (!started.succeeded())
            trace(QStringLiteral("Can not start apcupsd through systemd: ") + started.output);
        return;
    }
    case DaemonControl::Direct:
        startDaemonDirectly(true);
        return;
    case DaemonControl::Unmanaged:
    case DaemonControl::ProcessCommands:
        trace(leftAsItIs);
        return;
    }
}

void ServiceControl::startDaemonDirectly(bool listFirst)
{
    if (listFirst) {
        trace(QStringLiteral("Reading process list"));
        const QStringList processes = processList();
        trace(QStringLiteral("Process list ") +
              processSummary(processes, [this](const QString &name) {
                  return name == installation.daemonImage;
              }));
        if (processes.contains(installation.daemonImage)) {
            trace(QStringLiteral("APC Service (apcupsd) running"));
            return;
        }
    }
    trace(QStringLiteral("Starting APC Service (apcupsd)"));
    startDetached(installation.daemonPath(), installation.daemonArguments);
    // The daemon forks away from the process started: the one to stop later
    // is the one its pid file names.
    qint64 pid = 0;
    if (waitFor(installation.waits.pidFileMs, [&] {
            pid = pidInFile(installation.daemonPidFile);
            return isLiveProcess(pid, installation.daemonImage);
        }))
        startedDaemon = pid;
    else
        trace(QStringLiteral("apcupsd did not name itself in ") + installation.daemonPidFile);
    sleepMs(installation.waits.afterStartMs);
}

void ServiceControl::stopManagedDaemon()
{
    trace(QStringLiteral("Stopping APC Service (apcupsd)"));
    switch (installation.daemonControl) {
    case DaemonControl::Systemd: {
        const CommandResult stopped = runAndWait(installation.systemctlProgram,
                                                 {QStringLiteral("stop"), installation.serviceUnit},
                                                 installation.waits.systemctlMs, abandoned);
        if (!stopped.succeeded()) {
            trace(QStringLiteral("Can not stop apcupsd through systemd: ") + stopped.output);
            return;
        }
        break;
    }
    case DaemonControl::Direct: {
        const qint64 pid = startedDaemon;
        startedDaemon = 0;
        if (!isLiveProcess(pid, installation.daemonImage)) {
            if (processList().contains(installation.daemonImage)) {
                trace(QStringLiteral("APC Service (apcupsd) was not started by Voltrine: it is "
                                     "left running"));
                return;
            }
            break;
        }
        ::kill(static_cast<pid_t>(pid), SIGTERM);
        const CommandWaits &waits = installation.waits.stopDaemon;
        if (!waitFor(waits.startMs + waits.finishMs + waits.settleMs,
                     [&] { return !isLiveProcess(pid, installation.daemonImage); }))
            trace(QStringLiteral("APC Service (apcupsd) did not end when asked"));
        sleepMs(waits.afterCloseMs);
        break;
    }
    case DaemonControl::Unmanaged:
    case DaemonControl::ProcessCommands:
        trace(leftAsItIs);
        return;
    }
    trace(QStringLiteral("APC Service (apcupsd) Stoped"));
}

void ServiceControl::writeManagedConfig(UpsConnection connection, const QString &portName,
                                        NisAccess nis, const QString &kind)
{
    const QString file = QStringLiteral(" Configuration file");
    if (!isAcceptablePortName(portName)) {
        trace(QStringLiteral("Can not write Apcupsd ") + kind + file +
              QStringLiteral(": the port name contains a control character"));
        setConfigOutcome(false,
                         QStringLiteral("apcupsd.conf was not changed: the port name is not "
                                        "valid."));
        return;
    }
    bool saved = false;
    if (canWriteConfigDirectly()) {
        saved = saveConfig(connection, portName, nis, kind);
    } else if (!installation.configHelper.isEmpty()) {
        saved = runConfigHelper(connection, portName, nis, kind);
    } else {
        trace(QStringLiteral("Can not open Apcupsd ") + kind + file +
              QStringLiteral(": changing it needs administrator rights"));
        setConfigOutcome(false,
                         QStringLiteral("Changing the UPS connection needs administrator "
                                        "rights: %1 can only be changed by root here.")
                                 .arg(installation.configFile));
        return;
    }
    if (!saved)
        return;

    // The daemon reads its configuration when it starts.
    switch (installation.daemonControl) {
    case DaemonControl::Systemd: {
        trace(QStringLiteral("Restarting APC Service (apcupsd)"));
        // A daemon that monitoring does not use is restarted only when it runs.
        const QString verb =
                watchesThisMachine() ? QStringLiteral("restart") : QStringLiteral("try-restart");
        const CommandResult restarted =
                runAndWait(installation.systemctlProgram, {verb, installation.serviceUnit},
                           installation.waits.systemctlMs, abandoned);
        if (!restarted.succeeded()) {
            trace(QStringLiteral("Can not restart apcupsd through systemd: ") + restarted.output);
            setConfigOutcome(true,
                             QStringLiteral("apcupsd.conf was saved, but apcupsd was not "
                                            "restarted to read it: ") +
                                     restarted.output);
        } else if (verb == QLatin1String("restart")) {
            setDaemonNotRunning(QString());
        }
        return;
    }
    case DaemonControl::Direct: {
        const bool ours = isLiveProcess(startedDaemon, installation.daemonImage);
        if (!ours && processList().contains(installation.daemonImage)) {
            trace(QStringLiteral("APC Service (apcupsd) was not started by Voltrine: it is left "
                                 "running"));
            setConfigOutcome(true,
                             QStringLiteral("apcupsd.conf was saved. The running apcupsd was "
                                            "not started by Voltrine: restart it to read the "
                                            "new file."));
            return;
        }
        // As systemd's try-restart: a daemon that monitoring does not use is
        // started again only when it ran.
        if (!ours && !watchesThisMachine())
            return;
        stopManagedDaemon();
        // The list could still name the daemon just ended, until its parent
        // has collected it.
        startDaemonDirectly(!ours);
        return;
    }
    case DaemonControl::Unmanaged:
    case DaemonControl::ProcessCommands:
        setConfigOutcome(true,
                         QStringLiteral("apcupsd.conf was saved. Restarting apcupsd to read it "
                                        "needs administrator rights."));
        return;
    }
}

bool ServiceControl::runConfigHelper(UpsConnection connection, const QString &portName,
                                     NisAccess nis, const QString &kind)
{
    QStringList arguments = installation.configHelper.mid(1);
    if (nis == NisAccess::ThisMachine)
        arguments << QStringLiteral("--nisip") << QStringLiteral("127.0.0.1");
    else if (nis == NisAccess::AnyNetwork)
        arguments << QStringLiteral("--nisip") << QStringLiteral("0.0.0.0");
    if (connection == UpsConnection::Usb)
        arguments << QStringLiteral("usb");
    else
        arguments << QStringLiteral("rs232") << portName;
    trace(QStringLiteral("Writing Apcupsd ") + kind +
          QStringLiteral(" Configuration file through ") + installation.configHelper.join(u' '));
    const CommandResult helper = runAndWait(installation.configHelper.first(), arguments,
                                            installation.waits.configHelperMs, abandoned);
    if (helper.succeeded()) {
        trace(QStringLiteral("Apcupsd ") + kind + QStringLiteral(" Configuration file saved"));
        setConfigOutcome(true, QString());
        return true;
    }
    QString reason = helper.output;
    // pkexec's own answers: 126 when the user dismissed the prompt or was not
    // authorised, 127 when no authorisation could be asked for.
    const bool throughPkexec =
            QFileInfo(installation.configHelper.first()).fileName() == QLatin1String("pkexec");
    if (helper.ended && helper.exitCode == 126)
        reason = QStringLiteral("the change was not authorised: the password dialog was "
                                "dismissed, or the password was not accepted. Save again to try "
                                "once more.");
    else if (throughPkexec && helper.ended && helper.exitCode == 127)
        reason = QStringLiteral("no administrator's password could be asked for: no polkit "
                                "authentication agent runs in this session. Save again from a "
                                "desktop session, or change the file as root.");
    else if (reason.isEmpty())
        reason = QStringLiteral("the helper ended with code %1.").arg(helper.exitCode);
    trace(QStringLiteral("Can not save Apcupsd ") + kind + QStringLiteral(" Configuration file: ") +
          reason);
    setConfigOutcome(false, QStringLiteral("apcupsd.conf was not changed: ") + reason);
    return false;
}
