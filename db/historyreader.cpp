#include "historyreader.h"

#include "csv.h"
#include "journal.h"

#include <QDateTime>
#include <QIODevice>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>

#include <cmath>
#include <limits>

namespace {

constexpr double gap = std::numeric_limits<double>::quiet_NaN();
constexpr qint64 minuteMs = 60000;

// The journal's per-minute figures, where a month is tens of thousands of rows.
const auto minuteTable = QStringLiteral("upsmeasurements_minutes");

qint64 floorDiv(qint64 value, qint64 divisor)
{
    const qint64 quotient = value / divisor;
    return (value % divisor != 0 && value < 0) ? quotient - 1 : quotient;
}

double numberOf(const QVariant &value)
{
    return value.isNull() ? gap : value.toDouble();
}

// The smaller (or larger) of two values, a gap counting for none.
double lower(double a, double b)
{
    return std::isnan(a) ? b : std::isnan(b) ? a : std::min(a, b);
}
double higher(double a, double b)
{
    return std::isnan(a) ? b : std::isnan(b) ? a : std::max(a, b);
}

QString failedBecause(const QSqlQuery &query)
{
    return query.lastError().text();
}

// apcupsd starts each event line with its local time and UTC offset:
// "2024-05-01 12:00:03 +0200  Power failure."
qint64 eventLineTime(const QString &line, qint64 recordedMs)
{
    static const QRegularExpression stamp(QStringLiteral(
            "^(\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d) ([+-])(\\d\\d)(\\d\\d)(?:\\s|$)"));
    const QRegularExpressionMatch match = stamp.match(line);
    if (!match.hasMatch())
        return recordedMs;
    const int offset = (match.captured(3).toInt() * 3600 + match.captured(4).toInt() * 60) *
            (match.captured(2) == QLatin1String("-") ? -1 : 1);
    QDateTime local =
            QDateTime::fromString(match.captured(1), QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    if (!local.isValid())
        return recordedMs;
    local.setOffsetFromUtc(offset);
    return local.toMSecsSinceEpoch();
}

} // namespace

qint64 HistoryReader::bucketWidth(qint64 spanMs, int pixels)
{
    const qint64 columns = std::max(1, pixels);
    qint64 width = std::max<qint64>(1, (spanMs + columns - 1) / columns);
    if (width >= minuteMs)
        width = (width + minuteMs - 1) / minuteMs * minuteMs;
    return width;
}

QList<QVector<QPointF>> HistoryReader::segments(const Reduction &reduction, Quantity quantity)
{
    QList<QVector<QPointF>> runs;
    QVector<QPointF> run;
    double previous = gap;
    for (const Bucket &bucket : reduction.buckets) {
        double first = bucket.low[quantity];
        double second = bucket.high[quantity];
        if (std::isnan(first)) {
            if (!run.isEmpty())
                runs.append(run);
            run.clear();
            previous = gap;
            continue;
        }
        if (!std::isnan(previous) && std::abs(previous - second) < std::abs(previous - first))
            std::swap(first, second);
        run.append(QPointF(double(bucket.startMs), first));
        run.append(QPointF(double(bucket.startMs + reduction.bucketMs), second));
        previous = second;
    }
    if (!run.isEmpty())
        runs.append(run);
    return runs;
}

void HistoryReader::merge(Reduction &shown, const Reduction &newer, qint64 fromMs)
{
    if (shown.bucketMs != newer.bucketMs || shown.buckets.isEmpty()) {
        shown = newer;
    } else if (!newer.buckets.isEmpty()) {
        const qint64 replacedFrom = newer.buckets.first().startMs;
        while (!shown.buckets.isEmpty() && shown.buckets.last().startMs >= replacedFrom)
            shown.buckets.removeLast();
        shown.buckets += newer.buckets;
        shown.toMs = std::max(shown.toMs, newer.toMs);
    }
    int ended = 0;
    while (ended < shown.buckets.size() &&
           shown.buckets.at(ended).startMs + shown.bucketMs <= fromMs)
        ++ended;
    shown.buckets.remove(0, ended);
    shown.fromMs = fromMs;
}

HistoryReader::HistoryReader(const QString &journalPath, const QString &connectionName)
    : connection(connectionName)
    , path(journalPath)
{ }

HistoryReader::~HistoryReader()
{
    if (db.isValid())
        db.close();
    db = QSqlDatabase();
    if (QSqlDatabase::contains(connection))
        QSqlDatabase::removeDatabase(connection);
}

bool HistoryReader::open(QString *errorText)
{
    if (db.isOpen())
        return true;
    minuteFigures = -1;
    // The journal appears with the first row; until then, try again later.
    if (!db.isValid()) {
        db = Journal::openReadOnly(path, connection, errorText);
    } else if (!db.open()) {
        *errorText = db.lastError().text();
    }
    return db.isOpen();
}

bool HistoryReader::hasMinuteFigures()
{
    if (minuteFigures < 0) {
        QSqlQuery query(db);
        query.prepare(
                QStringLiteral("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?"));
        query.addBindValue(minuteTable);
        if (!query.exec())
            return false;
        minuteFigures = query.next() ? 1 : 0;
    }
    return minuteFigures == 1;
}

HistoryReader::Reduction HistoryReader::reduce(qint64 fromMs, qint64 toMs, qint64 bucketMs,
                                               qint64 holdMs, QString *errorText)
{
    Reduction reduction;
    reduction.fromMs = fromMs;
    reduction.toMs = toMs;
    reduction.bucketMs = bucketMs;
    if (bucketMs <= 0 || toMs <= fromMs)
        return reduction;
    const qint64 first = floorDiv(fromMs, bucketMs) * bucketMs;
    const qint64 end = (floorDiv(toMs - 1, bucketMs) + 1) * bucketMs;
    const int count = int((end - first) / bucketMs);
    QVector<Bucket> buckets(count);
    for (int i = 0; i < count; ++i) {
        buckets[i].startMs = first + i * bucketMs;
        buckets[i].low.fill(gap);
        buckets[i].high.fill(gap);
    }

    // The numbers of the rows in each bucket: from the minute figures when the
    // buckets are whole minutes, else from the rows themselves.
    const QStringList &numbers = Journal::numberColumns();
    QString columns;
    QSqlQuery rows(db);
    rows.setForwardOnly(true);
    if (bucketMs % minuteMs == 0 && hasMinuteFigures()) {
        for (const QString &number : numbers)
            columns += QStringLiteral(", min(%1_min), max(%1_max)").arg(number);
        rows.prepare(QStringLiteral("SELECT (minute - ?) / ?") + columns +
                     QStringLiteral(" FROM ") + minuteTable +
                     QStringLiteral(" WHERE minute >= ? AND minute < ? GROUP BY 1"));
        rows.addBindValue(first / minuteMs);
        rows.addBindValue(bucketMs / minuteMs);
        rows.addBindValue(first / minuteMs);
        rows.addBindValue(end / minuteMs);
    } else {
        for (const QString &number : numbers)
            columns += QStringLiteral(", min(%1), max(%1)").arg(number);
        rows.prepare(QStringLiteral("SELECT (time_ms - ?) / ?") + columns +
                     QStringLiteral(" FROM ") + Journal::tableName(Journal::Kind::Measurement) +
                     QStringLiteral(" WHERE time_ms >= ? AND time_ms < ? GROUP BY 1"));
        rows.addBindValue(first);
        rows.addBindValue(bucketMs);
        rows.addBindValue(first);
        rows.addBindValue(end);
    }
    if (!rows.exec()) {
        *errorText = failedBecause(rows);
        return reduction;
    }
    while (rows.next()) {
        const int index = rows.value(0).toInt();
        if (index < 0 || index >= count)
            continue;
        Bucket &bucket = buckets[index];
        for (int q = 0; q < QuantityCount; ++q) {
            bucket.low[q] = numberOf(rows.value(1 + 2 * q));
            bucket.high[q] = numberOf(rows.value(2 + 2 * q));
        }
    }

    // What held when each bucket began: the last row before it, if it was
    // recorded less than holdMs before. One indexed look-up per bucket.
    QSqlQuery entry(db);
    entry.setForwardOnly(true);
    if (!entry.prepare(
                QStringLiteral("SELECT time_ms, ") + numbers.join(QStringLiteral(", ")) +
                QStringLiteral(" FROM ") + Journal::tableName(Journal::Kind::Measurement) +
                QStringLiteral(" WHERE time_ms < ? ORDER BY time_ms DESC, id DESC LIMIT 1"))) {
        *errorText = failedBecause(entry);
        return reduction;
    }
    for (Bucket &bucket : buckets) {
        entry.addBindValue(bucket.startMs);
        if (!entry.exec()) {
            *errorText = failedBecause(entry);
            return reduction;
        }
        if (entry.next() && bucket.startMs - entry.value(0).toLongLong() <= holdMs) {
            for (int q = 0; q < QuantityCount; ++q) {
                const double held = numberOf(entry.value(1 + q));
                bucket.low[q] = lower(bucket.low[q], held);
                bucket.high[q] = higher(bucket.high[q], held);
            }
        }
        entry.finish();
    }
    reduction.buckets = buckets;
    return reduction;
}

QList<HistoryReader::PowerMark> HistoryReader::powerMarks(qint64 fromMs, qint64 toMs,
                                                          QString *errorText)
{
    QList<PowerMark> marks;
    // A line is recorded after the daemon wrote it, never before.
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT time_ms, message FROM ") +
                  Journal::tableName(Journal::Kind::Event) +
                  QStringLiteral(" WHERE time_ms >= ? AND (message LIKE '%Power failure%' OR "
                                 "message LIKE '%Power is back%' OR message LIKE '%Mains "
                                 "returned%') ORDER BY time_ms, id"));
    query.addBindValue(fromMs);
    if (!query.exec()) {
        *errorText = failedBecause(query);
        return marks;
    }
    while (query.next()) {
        const QString message = query.value(1).toString();
        PowerMark mark;
        mark.timeMs = eventLineTime(message, query.value(0).toLongLong());
        mark.failure = message.contains(QLatin1String("Power failure"));
        if (mark.timeMs >= fromMs && mark.timeMs < toMs && !marks.contains(mark))
            marks.append(mark);
    }
    return marks;
}

qint64 HistoryReader::exportCsv(qint64 fromMs, qint64 toMs, QIODevice *out,
                                const std::atomic<bool> *cancel, QString *errorText)
{
    // The journal's numbers last, so that the columns before them stay where
    // spreadsheets made from earlier exports expect them.
    const QStringList columns =
            Journal::columns(Journal::Kind::Measurement) + Journal::numberColumns();
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT ") + columns.join(QStringLiteral(", ")) +
                  QStringLiteral(" FROM ") + Journal::tableName(Journal::Kind::Measurement) +
                  QStringLiteral(" WHERE time_ms >= ? AND time_ms < ? ORDER BY time_ms, id"));
    query.addBindValue(fromMs);
    query.addBindValue(toMs);
    if (!query.exec()) {
        *errorText = failedBecause(query);
        return -1;
    }
    auto write = [out, errorText](const QStringList &fields) {
        const QByteArray line = Csv::record(fields).toUtf8();
        if (out->write(line) == line.size())
            return true;
        *errorText = out->errorString();
        return false;
    };
    if (!write(columns))
        return -1;
    qint64 written = 0;
    QStringList fields;
    while (query.next()) {
        if (cancel && *cancel) {
            *errorText = QStringLiteral("cancelled");
            return -1;
        }
        fields.clear();
        for (int i = 0; i < columns.size(); ++i)
            fields.append(query.value(i).toString());
        if (!write(fields))
            return -1;
        ++written;
    }
    if (query.lastError().isValid()) {
        *errorText = failedBecause(query);
        return -1;
    }
    return written;
}
