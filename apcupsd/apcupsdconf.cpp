#include "apcupsdconf.h"

#include <QHostAddress>
#include <QRegularExpression>

namespace {

QString directiveOf(const QString &line)
{
    return line.section(QLatin1Char(' '), 0, 0);
}

void applyOverrides(QStringList &lines, const QVector<QPair<QString, QString>> &overrides)
{
    for (const auto &directive : overrides) {
        const QString line = directive.first + QLatin1Char(' ') + directive.second;
        bool replaced = false;
        for (QString &existing : lines) {
            if (directiveOf(existing) == directive.first) {
                existing = line;
                replaced = true;
                break;
            }
        }
        if (!replaced)
            lines.append(line);
    }
}

} // namespace

QStringList apcupsdConfLines(const InstallationProfile &profile, UpsConnection connection,
                             const QString &portName)
{
    const bool serial = connection == UpsConnection::Serial;
    const QString device =
            serial && !portName.isEmpty() ? profile.serialDevicePrefix + portName : QString();
    QStringList lines{
            QStringLiteral("#UPSNAME"),
            serial ? QStringLiteral("UPSCABLE 940-0024B") : QStringLiteral("UPSCABLE usb"),
            serial ? QStringLiteral("UPSTYPE apcsmart") : QStringLiteral("UPSTYPE usb"),
            QStringLiteral("DEVICE ") + device,
            QStringLiteral("POLLTIME 5"),
            QStringLiteral("SCRIPTDIR ") + profile.scriptDir,
            QStringLiteral("PWRFAILDIR ") + profile.powerFailDir,
            QStringLiteral("NOLOGINDIR ") + profile.noLoginDir,
            QStringLiteral("ONBATTERYDELAY 2"),
            QStringLiteral("BATTERYLEVEL 40"),
            QStringLiteral("MINUTES 2"),
            QStringLiteral("TIMEOUT 0"),
            QStringLiteral("ANNOY 300"),
            QStringLiteral("ANNOYDELAY 60"),
            QStringLiteral("NOLOGON disable"),
            QStringLiteral("KILLDELAY 0"),
            QStringLiteral("NETSERVER on"),
            QStringLiteral("NISIP ") + profile.nisAddress,
            QStringLiteral("NISPORT 3551"),
            QStringLiteral("EVENTSFILE ") + profile.eventsFile,
            QStringLiteral("EVENTSFILEMAX 10"),
            QStringLiteral("UPSCLASS standalone"),
            QStringLiteral("UPSMODE disable"),
            QStringLiteral("STATTIME 0"),
            QStringLiteral("STATFILE ") + profile.statusFile,
            QStringLiteral("LOGSTATS off"),
            QStringLiteral("DATATIME 0"),
            QStringLiteral("#FACILITY DAEMON"),
            QStringLiteral("#UPSNAME UPS_IDEN"),
            QStringLiteral("#BATTDATE mm//dd//yy"),
            QStringLiteral("#SENSITIVITY H"),
            QStringLiteral("#WAKEUP 60"),
            QStringLiteral("#SLEEP 180"),
            QStringLiteral("#LOTRANSFER  208"),
            QStringLiteral("#HITRANSFER 253"),
            QStringLiteral("#RETURNCHARGE 15"),
            QStringLiteral("#BEEPSTATE T"),
            QStringLiteral("#LOWBATT 2"),
            QStringLiteral("#OUTPUTVOLTS 230"),
            QStringLiteral("#SELFTEST 336"),
    };
    applyOverrides(lines, profile.configOverrides);
    return lines;
}

QByteArray apcupsdConfText(const InstallationProfile &profile, UpsConnection connection,
                           const QString &portName)
{
    QByteArray text;
    const QByteArray lineEnd = profile.configLineEnd.toLocal8Bit();
    QStringList lines = apcupsdConfLines(profile, connection, portName);
    if (!profile.configHeader.isEmpty())
        lines.prepend(profile.configHeader);
    for (const QString &line : lines)
        text += line.toLocal8Bit() + lineEnd;
    return text;
}

QString nisAddressOf(const QByteArray &confText)
{
    QString address;
    for (const QByteArray &line : confText.split('\n')) {
        const QList<QByteArray> words = line.simplified().split(' ');
        // apcupsd reads its directives in any case, and a later line wins.
        if (words.size() >= 2 && words.at(0).toUpper() == "NISIP")
            address = QString::fromLatin1(words.at(1));
    }
    return QHostAddress(address).isNull() ? QString() : address;
}

InstallationProfile withNisAddress(InstallationProfile profile, const QByteArray &existing,
                                   NisAccess nis)
{
    if (!profile.keepsNisAddress)
        return profile;
    switch (nis) {
    case NisAccess::Keep: {
        const QString address = nisAddressOf(existing);
        if (!address.isEmpty())
            profile.nisAddress = address;
        break;
    }
    case NisAccess::ThisMachine:
        profile.nisAddress = QStringLiteral("127.0.0.1");
        break;
    case NisAccess::AnyNetwork:
        profile.nisAddress = QStringLiteral("0.0.0.0");
        break;
    }
    return profile;
}

bool isSerialDeviceName(const QString &portName)
{
    // No path, no blank, nothing that ends the line.
    static const QRegularExpression name(QStringLiteral("\\A[A-Za-z0-9]{1,32}\\z"));
    return name.match(portName).hasMatch();
}

bool isAcceptablePortName(const QString &portName)
{
    for (const QChar c : portName) {
        switch (c.category()) {
        case QChar::Other_Control:
        case QChar::Separator_Line:
        case QChar::Separator_Paragraph:
            return false;
        default:
            break;
        }
    }
    return true;
}
