// Writes apcupsd.conf for Voltrine with administrator rights. Started through
// pkexec by a user's Voltrine, so it trusts nothing it is given: it writes
// only the program's own two shapes of the file, for a USB UPS or for a smart
// UPS on a serial port whose name it checks, to the one fixed path. The
// previous file is kept beside it, and the new one is put in place whole.
//
//   voltrine-apcupsd-conf usb
//   voltrine-apcupsd-conf rs232 PORT          PORT: a device name in /dev, such as ttyS0
//   voltrine-apcupsd-conf --config FILE ...   another file; refused under pkexec
//   voltrine-apcupsd-conf --nisip ADDRESS ... the status server's address:
//                                             127.0.0.1 or 0.0.0.0; without
//                                             it the file's own is kept
//
// Exit codes: 0 written, 1 refused arguments, 2 not written.
#include "apcupsdconf.h"
#include "conffile.h"
#include "installationprofile.h"

#include <QFile>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QTextStream>

#include <cstdio>
#include <cstdlib>

namespace {

int refuse(const QString &why)
{
    QTextStream(stderr) << "voltrine-apcupsd-conf: " << why << '\n';
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));

    InstallationProfile profile = InstallationProfile::linuxStandIn();
    if (arguments.value(0) == QLatin1String("--config")) {
        // Under pkexec the caller is another user: only the fixed path.
        if (std::getenv("PKEXEC_UID"))
            return refuse(QStringLiteral("--config is not accepted through pkexec"));
        if (arguments.size() < 2)
            return refuse(QStringLiteral("--config needs a file"));
        profile.configFile = arguments.at(1);
        arguments = arguments.mid(2);
    }

    NisAccess nis = NisAccess::Keep;
    if (arguments.value(0) == QLatin1String("--nisip")) {
        const QString address = arguments.value(1);
        if (address == QLatin1String("127.0.0.1"))
            nis = NisAccess::ThisMachine;
        else if (address == QLatin1String("0.0.0.0"))
            nis = NisAccess::AnyNetwork;
        else
            return refuse(QStringLiteral("--nisip takes 127.0.0.1 or 0.0.0.0"));
        arguments = arguments.mid(2);
    }

    UpsConnection connection;
    QString port;
    if (arguments == QStringList{QStringLiteral("usb")}) {
        connection = UpsConnection::Usb;
    } else if (arguments.size() == 2 && arguments.at(0) == QLatin1String("rs232")) {
        connection = UpsConnection::Serial;
        port = arguments.at(1);
        if (!isSerialDeviceName(port))
            return refuse(
                    QStringLiteral("the port name \"%1\" is not a serial device name").arg(port));
        // What the configuration page lists for no port: no device has the name.
        if (port == QLatin1String("NA"))
            return refuse(QStringLiteral("no serial port was chosen"));
    } else {
        return refuse(QStringLiteral("usage: voltrine-apcupsd-conf [--config FILE] [--nisip "
                                     "ADDRESS] usb | rs232 PORT"));
    }

    QFile existing(profile.configFile);
    const QByteArray before =
            existing.open(QIODevice::ReadOnly) ? existing.readAll() : QByteArray();
    const ConfigFileWrite written = replaceConfigFile(
            profile.configFile,
            apcupsdConfText(withNisAddress(profile, before, nis), connection, port),
            profile.configBackupSuffix, profile.configOriginalSuffix);
    if (written.result == ConfigFileWrite::Saved)
        return 0;
    QTextStream(stderr) << "voltrine-apcupsd-conf: " << profile.configFile
                        << (written.result == ConfigFileWrite::NoBackup
                                    ? " was not changed: its copy could not be kept: "
                                    : " was not changed: ")
                        << written.error << '\n';
    return 2;
}
