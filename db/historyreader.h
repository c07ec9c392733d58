#pragma once

#include <QList>
#include <QPointF>
#include <QSqlDatabase>
#include <QString>
#include <QVector>

#include <array>
#include <atomic>

class QIODevice;

// Reads the local journal (journal.h) for the History view, on a read-only
// connection of its own, so that the program's writes never wait for it.
//
// A span of time is cut into buckets of equal width, one per pixel column of
// the charts, and each bucket is reduced in SQL to the smallest and largest
// value of each quantity in force during it: the numbers of the rows recorded
// in it and the value that held when it began. A measurement row is written
// when a value changes and at every logging tick, so a row's values hold
// until the next row, but not longer than holdMs: past that the program was
// not recording. A value that is not a number ("N/A") holds nothing, so the
// chart has a gap there.
//
// One object is one connection, for the thread that opened it.
class HistoryReader final
{
    Q_DISABLE_COPY(HistoryReader)

public:
    // In the order of the journal's number columns.
    enum Quantity { LineVoltage, Load, BatteryCharge, RuntimeLeft, QuantityCount };

    struct Bucket
    {
        qint64 startMs = 0;
        // NaN where the quantity had no value in force (a gap).
        std::array<double, QuantityCount> low;
        std::array<double, QuantityCount> high;
    };

    struct Reduction
    {
        qint64 fromMs = 0;
        qint64 toMs = 0;
        qint64 bucketMs = 0;
        // Every bucket from the one holding fromMs to the one holding toMs - 1.
        QVector<Bucket> buckets;
    };

    struct PowerMark
    {
        qint64 timeMs = 0;
        bool failure = false; // else the power came back
        bool operator==(const PowerMark &other) const
        {
            return timeMs == other.timeMs && failure == other.failure;
        }
    };

    // The width of the buckets for spanMs shown over pixels columns: at
    // least one millisecond, and from one minute on a whole number of
    // minutes, so that the journal's minute figures serve.
    static qint64 bucketWidth(qint64 spanMs, int pixels);

    // The runs of consecutive buckets that have a value of quantity, as line
    // points: each bucket from its start to its end, low and high in the order
    // that continues the line before it.
    static QList<QVector<QPointF>> segments(const Reduction &reduction, Quantity quantity);

    // Replaces the buckets of shown from the first bucket of newer on by
    // newer's, and drops the buckets that end before fromMs.
    static void merge(Reduction &shown, const Reduction &newer, qint64 fromMs);

    HistoryReader(const QString &journalPath, const QString &connectionName);
    ~HistoryReader();

    bool open(QString *errorText);
    bool isOpen() const { return db.isOpen(); }

    // buckets of bucketMs from the one holding fromMs to the one holding toMs - 1,
    // aligned on whole multiples of bucketMs. Empty on error (errorText says why).
    Reduction reduce(qint64 fromMs, qint64 toMs, qint64 bucketMs, qint64 holdMs,
                     QString *errorText);

    // Power failures and returns from fromMs to toMs, at the time the daemon
    // wrote on the event line (the time it was recorded when the line has none).
    QList<PowerMark> powerMarks(qint64 fromMs, qint64 toMs, QString *errorText);

    // Writes the measurement rows recorded from fromMs to toMs as CSV: a
    // header of the table's column names, then one record per row, oldest
    // first. The server's columns come first, then the journal's numbers
    // (linev, loadpct, bcharge, timeleft) as plain numbers, empty where the
    // value was not one. Returns how many rows were written, or -1
    // (errorText says why).
    // Stops early with -1 when cancel becomes true.
    qint64 exportCsv(qint64 fromMs, qint64 toMs, QIODevice *out, const std::atomic<bool> *cancel,
                     QString *errorText);

private:
    bool hasMinuteFigures();

    QString connection;
    QString path;
    QSqlDatabase db;
    int minuteFigures = -1; // unknown
};
