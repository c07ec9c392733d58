#include "upsmodel.h"

#include <QSysInfo>

#include <cmath>

namespace {

// The keys of a USB UPS as apcupsd 3.14 lists them, in its order. As with the
// daemon, XONBATT appears only once a transfer has happened.
const QStringList &keyOrder()
{
    static const QStringList keys{
            QStringLiteral("APC"),       QStringLiteral("DATE"),     QStringLiteral("HOSTNAME"),
            QStringLiteral("VERSION"),   QStringLiteral("UPSNAME"),  QStringLiteral("CABLE"),
            QStringLiteral("DRIVER"),    QStringLiteral("UPSMODE"),  QStringLiteral("STARTTIME"),
            QStringLiteral("MODEL"),     QStringLiteral("STATUS"),   QStringLiteral("LINEV"),
            QStringLiteral("LOADPCT"),   QStringLiteral("BCHARGE"),  QStringLiteral("TIMELEFT"),
            QStringLiteral("MBATTCHG"),  QStringLiteral("MINTIMEL"), QStringLiteral("MAXTIME"),
            QStringLiteral("SENSE"),     QStringLiteral("LOTRANS"),  QStringLiteral("HITRANS"),
            QStringLiteral("ALARMDEL"),  QStringLiteral("BATTV"),    QStringLiteral("LASTXFER"),
            QStringLiteral("NUMXFERS"),  QStringLiteral("XONBATT"),  QStringLiteral("TONBATT"),
            QStringLiteral("CUMONBATT"), QStringLiteral("XOFFBATT"), QStringLiteral("SELFTEST"),
            QStringLiteral("STATFLAG"),  QStringLiteral("SERIALNO"), QStringLiteral("BATTDATE"),
            QStringLiteral("NOMINV"),    QStringLiteral("NOMBATTV"), QStringLiteral("NOMPOWER"),
            QStringLiteral("FIRMWARE"),  QStringLiteral("END APC"),
    };
    return keys;
}

// Percent per second.
constexpr double drainRate = 0.5;
constexpr double rechargeRate = 1.0;
constexpr double fullRuntimeMinutes = 35.5;
constexpr double lowBatteryCharge = 4.0;

QString oneDecimal(double value, const char *unit)
{
    return QString::number(value, 'f', 1) + QLatin1Char(' ') + QLatin1String(unit);
}

} // namespace

UpsModel::UpsModel()
    : startTime(QDateTime::currentDateTime())
    , chargeChangedAt(startTime)
{
    addEvent(QStringLiteral("apcupsd 3.14.14 (31 May 2016) upssim startup succeeded"));
}

QByteArray UpsModel::formatLine(const QString &key, const QString &value)
{
    return (key.leftJustified(9) + QStringLiteral(": ") + value + QLatin1Char('\n')).toUtf8();
}

QString UpsModel::formatDate(const QDateTime &time)
{
    const int offset = time.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    return time.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss ")) +
            QLatin1Char(offset < 0 ? '-' : '+') +
            QStringLiteral("%1%2")
                    .arg(minutes / 60, 2, 10, QLatin1Char('0'))
                    .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

double UpsModel::batteryCharge(const QDateTime &now) const
{
    const double seconds = chargeChangedAt.msecsTo(now) / 1000.0;
    if (battery)
        return std::max(0.0, chargeAtChange - drainRate * seconds);
    return std::min(100.0, chargeAtChange + rechargeRate * seconds);
}

void UpsModel::snapshotCharge(const QDateTime &now)
{
    chargeAtChange = batteryCharge(now);
    chargeChangedAt = now;
}

void UpsModel::transferToBattery(const QString &reason)
{
    if (battery)
        return;
    const QDateTime now = QDateTime::currentDateTime();
    snapshotCharge(now);
    battery = true;
    onBatterySince = now;
    lastOnBattery = now;
    lastTransfer = reason;
    ++transfers;
}

void UpsModel::transferToMains()
{
    if (!battery)
        return;
    const QDateTime now = QDateTime::currentDateTime();
    snapshotCharge(now);
    battery = false;
    low = false;
    cumulativeSeconds += onBatterySince.secsTo(now);
    lastOffBattery = now;
}

void UpsModel::powerFail()
{
    if (battery)
        return;
    transferToBattery(QStringLiteral("Low line voltage"));
    addEvent(QStringLiteral("Power failure."));
    addEvent(QStringLiteral("Running on UPS batteries."));
}

void UpsModel::powerBack()
{
    if (!battery)
        return;
    const bool wasSelfTest = selfTest;
    transferToMains();
    if (wasSelfTest) {
        selfTestEnded();
        return;
    }
    addEvent(QStringLiteral("Mains returned. No longer on UPS batteries."));
    addEvent(QStringLiteral("Power is back. UPS running on mains."));
}

void UpsModel::lowBattery()
{
    powerFail();
    if (low)
        return;
    low = true;
    const QDateTime now = QDateTime::currentDateTime();
    chargeAtChange = std::min(batteryCharge(now), lowBatteryCharge);
    chargeChangedAt = now;
    addEvent(QStringLiteral("Battery power exhausted."));
}

void UpsModel::communicationLost()
{
    if (commLost)
        return;
    commLost = true;
    addEvent(QStringLiteral("Communications with UPS lost."));
}

void UpsModel::communicationRestored()
{
    if (!commLost)
        return;
    commLost = false;
    addEvent(QStringLiteral("Communications with UPS restored."));
}

void UpsModel::selfTestStarted()
{
    if (selfTest || battery)
        return;
    selfTest = true;
    selfTestResult = QStringLiteral("IP");
    transferToBattery(QStringLiteral("Automatic or explicit self test"));
    addEvent(QStringLiteral("UPS Self Test switch to battery."));
}

void UpsModel::selfTestEnded()
{
    if (!selfTest)
        return;
    selfTest = false;
    selfTestResult = QStringLiteral("OK");
    transferToMains();
    addEvent(QStringLiteral("UPS Self Test completed."));
}

void UpsModel::setValue(const QString &key, const QString &value)
{
    removed.remove(key);
    overrides.insert(key, value);
}

void UpsModel::removeValue(const QString &key)
{
    overrides.remove(key);
    removed.insert(key);
}

void UpsModel::resetValue(const QString &key)
{
    overrides.remove(key);
    removed.remove(key);
}

void UpsModel::clearValues()
{
    overrides.clear();
    removed.clear();
}

void UpsModel::addEvent(const QString &text)
{
    events.append(formatDate(QDateTime::currentDateTime()) + QStringLiteral("  ") + text);
}

void UpsModel::addRawEventLine(const QString &line)
{
    events.append(line);
}

QStringList UpsModel::eventLines() const
{
    return events;
}

quint32 UpsModel::statusFlags() const
{
    quint32 flags = Plugged | BatteryPresent;
    flags |= battery ? OnBattery : OnLine;
    if (low)
        flags |= BatteryLow;
    if (commLost)
        flags |= CommunicationLost;
    return flags;
}

QString UpsModel::statusWord() const
{
    if (commLost)
        return QStringLiteral("COMMLOST ");
    QString word = battery ? QStringLiteral("ONBATT ") : QStringLiteral("ONLINE ");
    if (low)
        word += QStringLiteral("LOWBATT ");
    return word;
}

UpsModel::Lines UpsModel::statusLines() const
{
    const QDateTime now = QDateTime::currentDateTime();
    const QString dateSuffix = QStringLiteral("  ");
    const double charge = batteryCharge(now);
    const qint64 onBatterySeconds = battery ? onBatterySince.secsTo(now) : 0;

    QMap<QString, QString> values{
            {QStringLiteral("DATE"), formatDate(now) + dateSuffix},
            {QStringLiteral("HOSTNAME"), QSysInfo::machineHostName()},
            {QStringLiteral("VERSION"), QStringLiteral("3.14.14 (31 May 2016) upssim")},
            {QStringLiteral("UPSNAME"), QStringLiteral("upssim")},
            {QStringLiteral("CABLE"), QStringLiteral("USB Cable")},
            {QStringLiteral("DRIVER"), QStringLiteral("USB UPS Driver")},
            {QStringLiteral("UPSMODE"), QStringLiteral("Stand Alone")},
            {QStringLiteral("STARTTIME"), formatDate(startTime) + dateSuffix},
            {QStringLiteral("MODEL"), QStringLiteral("Back-UPS ES 700G")},
            {QStringLiteral("STATUS"), statusWord()},
            {QStringLiteral("LINEV"), oneDecimal(battery ? 0.0 : 230.0, "Volts")},
            {QStringLiteral("LOADPCT"), oneDecimal(12.0, "Percent")},
            {QStringLiteral("BCHARGE"), oneDecimal(charge, "Percent")},
            {QStringLiteral("TIMELEFT"),
             oneDecimal(fullRuntimeMinutes * charge / 100.0, "Minutes")},
            {QStringLiteral("MBATTCHG"), QStringLiteral("5 Percent")},
            {QStringLiteral("MINTIMEL"), QStringLiteral("3 Minutes")},
            {QStringLiteral("MAXTIME"), QStringLiteral("0 Seconds")},
            {QStringLiteral("SENSE"), QStringLiteral("Medium")},
            {QStringLiteral("LOTRANS"), oneDecimal(180.0, "Volts")},
            {QStringLiteral("HITRANS"), oneDecimal(266.0, "Volts")},
            {QStringLiteral("ALARMDEL"), QStringLiteral("30 Seconds")},
            {QStringLiteral("BATTV"),
             oneDecimal(battery ? 12.0 + 1.2 * charge / 100.0 : 13.6, "Volts")},
            {QStringLiteral("LASTXFER"), lastTransfer},
            {QStringLiteral("NUMXFERS"), QString::number(transfers)},
            {QStringLiteral("TONBATT"),
             QString::number(onBatterySeconds) + QStringLiteral(" Seconds")},
            {QStringLiteral("CUMONBATT"),
             QString::number(cumulativeSeconds + onBatterySeconds) + QStringLiteral(" Seconds")},
            {QStringLiteral("SELFTEST"), selfTestResult},
            {QStringLiteral("STATFLAG"),
             QStringLiteral("0x") +
                     QString::number(statusFlags(), 16)
                             .toUpper()
                             .rightJustified(8, QLatin1Char('0'))},
            {QStringLiteral("SERIALNO"), QStringLiteral("5B1234T56789")},
            {QStringLiteral("BATTDATE"), QStringLiteral("2020-01-01")},
            {QStringLiteral("NOMINV"), QStringLiteral("230 Volts")},
            {QStringLiteral("NOMBATTV"), QStringLiteral("12.0 Volts")},
            {QStringLiteral("NOMPOWER"), QStringLiteral("405 Watts")},
            {QStringLiteral("FIRMWARE"), QStringLiteral("871.O2 .I USB FW:O2")},
            {QStringLiteral("END APC"), formatDate(now) + dateSuffix},
    };
    if (lastOnBattery.isValid())
        values.insert(QStringLiteral("XONBATT"), formatDate(lastOnBattery) + dateSuffix);
    values.insert(QStringLiteral("XOFFBATT"),
                  lastOffBattery.isValid() ? formatDate(lastOffBattery) + dateSuffix
                                           : QStringLiteral("N/A"));

    QStringList keys = keyOrder();
    for (auto it = overrides.cbegin(); it != overrides.cend(); ++it) {
        values.insert(it.key(), it.value());
        if (!keys.contains(it.key()))
            keys.insert(keys.size() - 1, it.key());
    }

    Lines lines;
    for (const QString &key : qAsConst(keys)) {
        if (key == QLatin1String("APC") || removed.contains(key) || !values.contains(key))
            continue;
        lines.append({key, values.value(key)});
    }
    // The header counts the lines after it and their bytes, as "001,038,0966".
    if (!removed.contains(QStringLiteral("APC"))) {
        QString header = overrides.value(QStringLiteral("APC"));
        if (!overrides.contains(QStringLiteral("APC"))) {
            int bytes = 0;
            for (const auto &line : qAsConst(lines))
                bytes += formatLine(line.first, line.second).size();
            header = QStringLiteral("001,%1,%2")
                             .arg(lines.size(), 3, 10, QLatin1Char('0'))
                             .arg(bytes, 4, 10, QLatin1Char('0'));
        }
        lines.prepend({QStringLiteral("APC"), header});
    }
    return lines;
}
