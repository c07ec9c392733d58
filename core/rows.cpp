#include "rows.h"

namespace {

const QStringList &measuredKeys()
{
    static const QStringList keys{
            QStringLiteral("STATUS"),    QStringLiteral("NOMINV"),   QStringLiteral("LINEV"),
            QStringLiteral("NOMBATTV"),  QStringLiteral("BATTV"),    QStringLiteral("NOMPOWER"),
            QStringLiteral("LOADPCT"),   QStringLiteral("BATTDATE"), QStringLiteral("STATFLAG"),
            QStringLiteral("NUMXFERS"),  QStringLiteral("XONBATT"),  QStringLiteral("XOFFBATT"),
            QStringLiteral("LASTXFER"),  QStringLiteral("BCHARGE"),  QStringLiteral("TONBATT"),
            QStringLiteral("CUMONBATT"), QStringLiteral("SELFTEST")};
    return keys;
}

constexpr int tonbattColumn = 14;
constexpr int cumonbattColumn = 15;

} // namespace

namespace MeasurementRow {

QStringList measuredValues(const StatusLookup &status)
{
    QStringList values;
    values.reserve(columnCount);
    for (const QString &key : measuredKeys())
        values.append(status(key));
    return values;
}

QStringList withTail(const QStringList &measured, const StatusLookup &status,
                     const QString &machineNumber, const QString &monitorVersion)
{
    QStringList row = measured;
    row << status(QStringLiteral("STARTTIME")) << status(QStringLiteral("DATE")) << machineNumber
        << status(QStringLiteral("END APC")) << monitorVersion;
    return row;
}

} // namespace MeasurementRow

void MeasurementFilter::setTimesOnBattery(const QString &tonbatt, const QString &cumonbatt)
{
    lastTonbatt = tonbatt;
    lastCumonbatt = cumonbatt;
}

std::optional<QStringList> MeasurementFilter::filter(const StatusLookup &status)
{
    QStringList measured = MeasurementRow::measuredValues(status);

    // A reading that contains "0 Seconds" (also "10 Seconds") ends a battery
    // period: the row then carries the count remembered from that period.
    const QString tonbatt = measured.at(tonbattColumn);
    if (tonbatt != lastTonbatt && tonbatt.contains(QLatin1String("0 Seconds"))) {
        measured[tonbattColumn] = lastTonbatt;
    } else {
        measured[tonbattColumn] = QStringLiteral("0 Seconds");
        lastTonbatt = tonbatt;
    }

    const QString cumonbatt = measured.at(cumonbattColumn);
    if (cumonbatt != lastCumonbatt) {
        measured[cumonbattColumn] = QStringLiteral("N/A");
        lastCumonbatt = cumonbatt;
    }

    if (measured == lastMeasurement)
        return std::nullopt;
    lastMeasurement = measured;
    return measured;
}

QStringList eventRowValues(const QString &line, const StatusLookup &status,
                           const QString &machineNumber, const QString &monitorVersion)
{
    return {status(QStringLiteral("MODEL")),
            line,
            status(QStringLiteral("STARTTIME")),
            status(QStringLiteral("DATE")),
            status(QStringLiteral("END APC")),
            machineNumber,
            monitorVersion};
}

std::optional<QString> nextEventToStore(const QStringList &lines, QString &lastEventMessage,
                                        int &lastEventIndex)
{
    if (lastEventMessage.isEmpty())
        lastEventIndex = -1;
    else if (lastEventIndex < 0 || lines.value(lastEventIndex) != lastEventMessage)
        lastEventIndex = lines.lastIndexOf(lastEventMessage);

    if (lastEventIndex >= lines.size() - 1)
        return std::nullopt;
    const QString next = lines.at(lastEventIndex + 1);
    // The empty element after the daemon's last line: everything is stored.
    if (next.isEmpty())
        return std::nullopt;
    ++lastEventIndex;
    lastEventMessage = next;
    return next;
}

bool isPassedSelfTest(const QString &selftest, const QString &lastxfer, const QString &xonbatt)
{
    return selftest.toUpper() == QLatin1String("OK") &&
            lastxfer.toUpper().contains(QLatin1String("SELF TEST")) && !xonbatt.isEmpty();
}
