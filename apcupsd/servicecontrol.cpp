#include "servicecontrol.h"

#include "apctestdialogue.h"
#include "commandrunner.h"
#include "devicelisting.h"
#include "logs.h"

#include <QMutexLocker>
#include <QSaveFile>

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
    trace(QStringLiteral("Stopping APC Service (apcupsd)"));
    runCommand(installation.endProcessCommand.arg(installation.daemonImage),
               installation.waits.stopDaemon);
    trace(QStringLiteral("APC Service (apcupsd) Stoped"));
}

void ServiceControl::startServices()
{
    QMutexLocker locker(&sequenceMutex);
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
    QString summary;
    bool daemonRunning = false;
    bool vendorSeen = false;
    for (int i = 0; i < processes.size(); ++i) {
        const QString &name = processes.at(i);
        if (i % 5 == 0)
            summary += QLatin1Char('\n');
        if (name == installation.daemonImage) {
            daemonRunning = true;
            summary += markerBegin + name + markerEnd;
        } else if (isVendorImage(name)) {
            vendorSeen = true;
            summary += markerBegin + name + markerEnd;
        } else {
            summary += name + separator;
        }
    }
    trace(QStringLiteral("Process list ") + summary);

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

void ServiceControl::writeUsbConfig()
{
    writeConfig(UpsConnection::Usb, QString());
}

void ServiceControl::writeComConfig(const QString &portName)
{
    writeConfig(UpsConnection::Serial, portName);
}

void ServiceControl::writeConfig(UpsConnection connection, const QString &portName)
{
    QMutexLocker locker(&sequenceMutex);
    const QString kind =
            connection == UpsConnection::Usb ? QStringLiteral("USB") : QStringLiteral("COM");
    try {
        if (!isAcceptablePortName(portName)) {
            // The daemon keeps running on its old file.
            trace(QStringLiteral("Can not write Apcupsd ") + kind +
                  QStringLiteral(" Configuration file: the port name contains a control "
                                 "character"));
        } else {
            stopApcupsd();
            saveConfig(connection, portName, kind);
        }
    } catch (const std::exception &e) {
        trace(QStringLiteral("Apcupsd ") + kind +
              QStringLiteral(" Configuration file Exception: ") + QString::fromLocal8Bit(e.what()));
    }
    // Normally finds the daemon stopped and starts it on the new file.
    startServices();
}

void ServiceControl::saveConfig(UpsConnection connection, const QString &portName,
                                const QString &kind)
{
    // Written beside the old file and renamed over it, so that the daemon
    // never finds half a configuration. Where only the file itself is
    // writable, it is written in place.
    QSaveFile file(installation.configFile);
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly)) {
        trace(QStringLiteral("Can not open Apcupsd ") + kind +
              QStringLiteral(" Configuration file"));
        return;
    }
    const auto notSaved = [&](const QString &error) {
        trace(QStringLiteral("Can not save Apcupsd ") + kind +
              QStringLiteral(" Configuration file: ") + error);
    };
    const QByteArray text = apcupsdConfText(installation, connection, portName);
    // Flushed and checked before the commit: Qt 5's commit misses a failure
    // of the last flush (a full disk) and would put an empty file in place.
    if (file.write(text) != text.size() || !file.flush()) {
        notSaved(file.errorString());
        file.cancelWriting();
        return;
    }
    if (!file.commit()) {
        notSaved(file.errorString());
        return;
    }
    trace(QStringLiteral("Apcupsd ") + kind + QStringLiteral(" Configuration file saved"));
}

QString ServiceControl::selfTestDialogue()
{
    // Only the stop holds the lock: the dialogue can last minutes, and a
    // configuration save or a monitoring start must not wait for it.
    stopApcupsd();
    return runApctestDialogue(installation.testToolPath(), installation.waits, *logs);
}

QStringList ServiceControl::listDevices(const QString &filter) const
{
    if (installation.deviceListing) {
        QStringList names = installation.deviceListing();
        return filter.isEmpty() ? names : names.filter(filter, Qt::CaseSensitive);
    }
    return listSerialDevices(filter, *logs);
}
