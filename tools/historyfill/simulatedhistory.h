#pragma once

#include <QString>

#include <functional>

// A made-up stretch of UPS history written into a journal the way the
// program records it: measurement rows with the daemon's texts ("230.0
// Volts"), and around each power failure the daemon's event lines. The line
// voltage and the load follow the time of day; during a failure the line is
// at 0 V and the battery drains, afterwards it charges again. For pictures
// of the History tab and for the benchmark.
struct SimulatedHistory
{
    qint64 fromMs = 0;
    qint64 toMs = 0;
    qint64 rows = 0;
    // Failures spread evenly over the stretch, each this long.
    int outages = 0;
    int outageMinutes = 12;

    // Appends the rows (kept local: never sent to a database) to the journal
    // at path, created when missing. progress, if set, is told the rows written.
    bool write(const QString &path, QString *errorText,
               const std::function<void(qint64)> &progress = {}) const;
};
