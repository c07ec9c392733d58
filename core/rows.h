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

// One step of the walk over the daemon's event list (oldest line first): the
// line to store next, if any. lastEventMessage is the last line stored (empty:
// none); lastEventIndex is its position in the previous list, or -1 where that
// is unknown (the first list of a monitoring run). While the list still holds
// that line there, the walk goes on from it, so that an equal line further
// down is not taken for it. Otherwise the line counts at its last occurrence,
// so that the walk never goes back. Both move past the returned line.
std::optional<QString> nextEventToStore(const QStringList &lines, QString &lastEventMessage,
                                        int &lastEventIndex);

// True when the last transfer to battery was a passed self-test.
bool isPassedSelfTest(const QString &selftest, const QString &lastxfer, const QString &xonbatt);
