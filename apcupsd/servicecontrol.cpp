#include "servicecontrol.h"

#include "apctestdialogue.h"
#include "commandrunner.h"
#include "conffile.h"
#include "logs.h"

#include <QFile>
#include <QMutexLocker>

#include <algorithm>
#include <exception>

namespace {

const auto markerBegin = QStringLiteral("#####");
const auto markerEnd = QStringLiteral("##### | ");
const auto separator = QStringLiteral(" | ");

} // namespace

ServiceControl::ServiceControl(InstallationProfile profile, Logs *logs)
    : installation(std::move(profile))
    , logs(logs)
{ }

void ServiceControl::trace(const QString &message) const
{
    logs->trace(message);
}

QStringList ServiceControl::processList() const
{
    const QByteArray output =
            commandOutput(installation.processListCommand, installation.waits.processListMs);
    return parseProcessList(output, installation.processListFormat);
}

void ServiceControl::stopApcupsd()
{
    QMutexLocker locker(&sequenceMutex);
    if (installation.daemonControl != InstallationProfile::DaemonControl::ProcessCommands) {
        stopManagedDaemon();
        return;
    }
    trace(QStringLiteral("Stopping APC Service (apcupsd)"));
    runCommand(installation.endProcessCommand.arg(installation.daemonImage),
               installation.waits.stopDaemon);
    trace(QStringLiteral("APC Service (apcupsd) Stoped"));
}

void ServiceControl::startServices(Prompt prompt)
{
    QMutexLocker locker(&sequenceMutex);
    if (installation.daemonControl != InstallationProfile::DaemonControl::ProcessCommands) {
        startManagedDaemon(prompt);
        return;
    }
    trace(QStringLiteral("Starting apcupsd services"));
    trace(QStringLiteral("Reading process list"));
    const QStringList processes = processList();

    // Exact, case-sensitive comparisons: "APCUPSD.EXE" is not the daemon.
    const auto isVendorImage = [this](const QString &name) {
        return (!installation.dataServiceImage.isEmpty() &&
                name == installation.dataServiceImage) ||
                (!installation.upsServiceImage.isEmpty() && name == installation.upsServiceImage) ||
                name == installation.testToolImage;
    };
    const bool daemonRunning = processes.contains(installation.daemonImage);
    const bool vendorSeen = std::any_of(processes.cbegin(), processes.cend(), isVendorImage);
    trace(QStringLiteral("Process list ") + processSummary(processes, [&](const QString &name) {
              return name == installation.daemonImage || isVendorImage(name);
          }));

    const ControlWaits &waits = installation.waits;
    if (vendorSeen) {
        if (!installation.dataServiceImage.isEmpty() &&
            processes.contains(installation.dataServiceImage)) {
            trace(QStringLiteral("closing APC Data Service"));
            runCommand(installation.stopServiceCommand.arg(installation.dataServiceName),
                       waits.stopService);
        }
        if (!installation.upsServiceImage.isEmpty() &&
            processes.contains(installation.upsServiceImage)) {
            trace(QStringLiteral("closing APC UPS Service"));
            runCommand(installation.stopServiceCommand.arg(installation.upsServiceName),
                       waits.stopService);
        }
        if (processes.contains(installation.testToolImage)) {
            trace(QStringLiteral("Killing apctest"));
            runCommand(installation.endProcessCommand.arg(installation.testToolImage),
                       waits.endTestTool);
        }
    }

    const QString daemon = installation.daemonPath();
    if (!daemonRunning) {
        trace(QStringLiteral("Starting APC Service (apcupsd)"));
        // A failed start is not reported: the next monitoring start tries again.
        startDetached(daemon, installation.daemonArguments);
        sleepMs(waits.afterStartMs);
    } else if (vendorSeen) {
        trace(QStringLiteral("Restarting APC Service (apcupsd)"));
        runCommand(installation.endProcessCommand.arg(installation.daemonImage),
                   waits.restartEndDaemon);
        startDetached(daemon, installation.daemonArguments);
        sleepMs(waits.afterRestartMs);
    } else {
        trace(QStringLiteral("APC Service (apcupsd) running"));
    }
}

QString ServiceControl::processSummary(const QStringList &processes,
                                       const std::function<bool(const QString &)> &marked)
{
    QString summary;
    for (int i = 0; i < processes.size(); ++i) {
        const QString &name = processes.at(i);
        if (i % 5 == 0)
            summary += QLatin1Char('\n');
        if (marked(name))
            summary += markerBegin + name + markerEnd;
        else
            summary += name + separator;
    }
    return summary;
}

void ServiceControl::writeUsbConfig(NisAccess nis)
{
    writeConfig(UpsConnection::Usb, QString(), nis);
}

void ServiceControl::writeComConfig(const QString &portName, NisAccess nis)
{
    writeConfig(UpsConnection::Serial, portName, nis);
}

void ServiceControl::setConfigOutcome(bool saved, const QString &problem)
{
    QMutexLocker locker(&outcomeMutex);
    lastConfigSaved = saved;
    lastConfigProblem = problem;
}

void ServiceControl::setDaemonNotRunning(const QString &reason)
{
    QMutexLocker locker(&outcomeMutex);
    daemonLeftStopped = reason;
}

void ServiceControl::writeConfig(UpsConnection connection, const QString &portName, NisAccess nis)
{
    QMutexLocker locker(&sequenceMutex);
    setConfigOutcome(false, QString());
    const QString kind =
            connection == UpsConnection::Usb ? QStringLiteral("USB") : QStringLiteral("COM");
    if (installation.daemonControl != InstallationProfile::DaemonControl::ProcessCommands) {
        writeManagedConfig(connection, portName, nis, kind);
        return;
    }
    try {
        if (!isAcceptablePortName(portName)) {
            // The daemon keeps running on its old file.
            trace(QStringLiteral("Can not write Apcupsd ") + kind +
                  QStringLiteral(" Configuration file: the port name contains a control "
                                 "character"));
        } else {
            stopApcupsd();
            saveConfig(connection, portName, nis, kind);
        }
    } catch (const std::exception &e) {
        trace(QStringLiteral("Apcupsd ") + kind +
              QStringLiteral(" Configuration file Exception: ") + QString::fromLocal8Bit(e.what()));
    }
    // Normally finds the daemon stopped and starts it on the new file.
    startServices();
}

bool ServiceControl::saveConfig(UpsConnection connection, const QString &portName, NisAccess nis,
                                const QString &kind)
{
    QByteArray before;
    if (installation.keepsNisAddress) {
        QFile existing(installation.configFile);
        if (existing.open(QIODevice::ReadOnly))
            before = existing.readAll();
    }
    const ConfigFileWrite written = replaceConfigFile(
            installation.configFile,
            apcupsdConfText(withNisAddress(installation, before, nis), connection, portName),
            installation.configBackupSuffix, installation.configOriginalSuffix);
    const QString file = QStringLiteral(" Configuration file");
    switch (written.result) {
    case ConfigFileWrite::Saved:
        trace(QStringLiteral("Apcupsd ") + kind + file + QStringLiteral(" saved"));
        setConfigOutcome(true, QString());
        return true;
    case ConfigFileWrite::NotOpened:
        trace(QStringLiteral("Can not open Apcupsd ") + kind + file);
        break;
    case ConfigFileWrite::NoBackup:
        trace(QStringLiteral("Can not keep a copy of Apcupsd ") + kind + file +
              QStringLiteral(": ") + written.error);
        break;
    case ConfigFileWrite::NotSaved:
        trace(QStringLiteral("Can not save Apcupsd ") + kind + file + QStringLiteral(": ") +
              written.error);
        break;
    }
    setConfigOutcome(false, QStringLiteral("apcupsd.conf was not changed: ") + written.error);
    return false;
}

QString ServiceControl::selfTestDialogue()
{
    // Only the stop holds the lock: the dialogue can last minutes, and a
    // configuration save or a monitoring start must not wait for it.
    stopApcupsd();
    return runApctestDialogue(installation.testToolPath(), installation.waits, *logs);
}
