#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// Looks up one value of the stored status record; a missing key gives "".
using StatusLookup = std::function<QString(const QString &key)>;

// The values of one upsmeasurements row, in column order: seventeen measured
// values, then the tail (STARTTIME, DATE, machine number, END APC, version).
namespace MeasurementRow {

constexpr int measuredCount = 17;
constexpr int columnCount = 22;

// The measured values as apcupsd reports them (for the timer-driven rows).
QStringList measuredValues(const StatusLookup &status);
// measured followed by the tail.
QStringList withTail(const QStringList &measured, const StatusLookup &status,
                     const QString &machineNumber, const QString &monitorVersion);

} // namespace MeasurementRow

// Decides which status records give a change-driven measurement row. The two
// time-on-battery counters are smoothed so that a counter running on battery
// does not give a row every second: TONBATT is written as "0 Seconds" while it
// counts, and the length of the battery period once it is back at zero;
// CUMONBATT is written as "N/A" while it changes.
class MeasurementFilter
{
public:
    // Forgets the last row, so that the next record always gives one.
    void forgetLastRow() { lastMeasurement.clear(); }
    // The counters as they stood when monitoring was set up.
    void setTimesOnBattery(const QString &tonbatt, const QString &cumonbatt);

    // The measured values of the row to write for this record, or nothing
    // when they equal those of the last row.
    std::optional<QStringList> filter(const StatusLookup &status);

private:
    QStringList lastMeasurement;
    QString lastTonbatt;
    QString lastCumonbatt;
};

// The values of one upsevents row for the event line: MODEL, the line,
// STARTTIME, DATE, END APC, machine number, version.
QStringList eventRowValues(const QString &line, const StatusLookup &status,
                           const QString &machineNumber, const QString &monitorVersion);

// The position of the last stored event line in the daemon's list, or -1 when
// it is empty or not in the list. A line that occurs more than once counts at
// its last occurrence, so that the walk never goes back.
int indexOfStoredEvent(const QStringList &lines, const QString &lastEventMessage);

// The line after position lastEventIndex, when there is one that is not empty.
std::optional<QString> nextEventLine(const QStringList &lines, int lastEventIndex);

// True when the last transfer to battery was a passed self-test.
bool isPassedSelfTest(const QString &selftest, const QString &lastxfer, const QString &xonbatt);
