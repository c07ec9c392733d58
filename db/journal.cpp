#include "journal.h"

#include "serverconnection.h"
#include "sqlrows.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

namespace {

// Long enough for the sending thread's short transactions, which are the only
// ones that can hold the journal for a moment.
constexpr int busyTimeoutMs = 10000;

// The columns every reader relies on, then the server's columns, then for
// measurements the numbers.
constexpr int leadingColumns = 3; // id, time_ms, state

// Rows may hold the journal's owner's history: only the owner may read it.
// SQLite gives its -wal and -shm files the permissions of the database file.
void restrictToOwner(const QString &path)
{
    for (const QString &suffix :
         {QString(), QStringLiteral("-wal"), QStringLiteral("-shm"), QStringLiteral("-journal")}) {
        QFile file(path + suffix);
        if (file.exists())
            file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }
}

QString columnList(const QStringList &columns)
{
    QString list;
    for (const QString &column : columns)
        list += (list.isEmpty() ? QString() : QStringLiteral(", ")) + column;
    return list;
}

// The min and max columns of the minute table, each followed by suffix.
QString minuteColumns(const QString &suffix)
{
    QString list;
    for (const QString &number : Journal::numberColumns())
        list += QStringLiteral(", ") + number + QStringLiteral("_min") + suffix +
                QStringLiteral(", ") + number + QStringLiteral("_max") + suffix;
    return list;
}

// Adds a row's numbers to its minute: the smaller and the larger of what the
// minute had and what the row brings, a missing number (NULL) counting for none.
QString minuteUpsert()
{
    QString marks;
    QString updates;
    for (const QString &number : Journal::numberColumns()) {
        marks.append(QStringLiteral(", ?, ?"));
        for (const char *bound : {"min", "max"}) {
            const QString column = number + QLatin1Char('_') + QLatin1String(bound);
            updates.append(QStringLiteral(", %1 = %2(coalesce(%1, excluded.%1), "
                                          "coalesce(excluded.%1, %1))")
                                   .arg(column, QLatin1String(bound)));
        }
    }
    return QStringLiteral("INSERT INTO upsmeasurements_minutes (minute, row_count") +
            minuteColumns(QString()) + QStringLiteral(") VALUES (?, 1") + marks +
            QStringLiteral(") ON CONFLICT (minute) DO UPDATE SET row_count = row_count + 1") +
            updates;
}

QString textColumns(const QStringList &columns)
{
    QString list;
    for (const QString &column : columns)
        list += QStringLiteral(", ") + column + QStringLiteral(" TEXT NOT NULL");
    return list;
}

} // namespace

QString Journal::tableName(Kind kind)
{
    return kind == Kind::Measurement ? QStringLiteral("upsmeasurements")
                                     : QStringLiteral("upsevents");
}

const QStringList &Journal::columns(Kind kind)
{
    return kind == Kind::Measurement ? ServerConnection::measurementColumns()
                                     : ServerConnection::eventColumns();
}

const QStringList &Journal::numberColumns()
{
    static const QStringList names{QStringLiteral("linev"), QStringLiteral("loadpct"),
                                   QStringLiteral("bcharge"), QStringLiteral("timeleft")};
    return names;
}

QSqlDatabase Journal::openReadOnly(const QString &path, const QString &connectionName,
                                   QString *errorText)
{
    QSqlDatabase reader = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);
    reader.setDatabaseName(path);
    reader.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=") +
                             QString::number(busyTimeoutMs));
    if (!reader.open() && errorText)
        *errorText = reader.lastError().text();
    return reader;
}

Journal::Journal(const QString &path, const QString &connectionName)
    : filePath(QFileInfo(path).absoluteFilePath())
    , db(QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName))
{ }

Journal::~Journal()
{
    const QString name = db.connectionName();
    if (db.isOpen())
        db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(name);
}

bool Journal::open(Mode mode, QString *errorText)
{
    opened = false;
    if (!db.isValid()) {
        error = QStringLiteral("the SQLite driver of Qt (QSQLITE) is not installed");
        *errorText = error;
        return false;
    }
    QFile file(filePath);
    if (!file.exists()) {
        // Created empty first, so that SQLite never makes it readable by others.
        if (!file.open(QIODevice::WriteOnly)) {
            error = file.errorString();
            *errorText = error;
            return false;
        }
        file.close();
    }
    restrictToOwner(filePath);

    db.setDatabaseName(filePath);
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=") + QString::number(busyTimeoutMs));
    if (!db.open()) {
        error = db.lastError().text();
        *errorText = error;
        return false;
    }

    QList<QVariantList> rows;
    const bool ready = exec(QStringLiteral("PRAGMA journal_mode=WAL"), {}, &rows) &&
            rows.value(0).value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) ==
                    0 &&
            exec(mode == Mode::Durable ? QStringLiteral("PRAGMA synchronous=FULL")
                                       : QStringLiteral("PRAGMA synchronous=NORMAL")) &&
            // Folding the log back into the file costs several syncs: the
            // sending thread does it, never the thread that must not wait.
            exec(mode == Mode::Durable ? QStringLiteral("PRAGMA wal_autocheckpoint=0")
                                       : QStringLiteral("PRAGMA wal_autocheckpoint=1000")) &&
            db.transaction() &&
            exec(QStringLiteral("CREATE TABLE IF NOT EXISTS upsmeasurements ("
                                "id INTEGER PRIMARY KEY AUTOINCREMENT, "
                                "time_ms INTEGER NOT NULL, state INTEGER NOT NULL") +
                 textColumns(columns(Kind::Measurement)) +
                 QStringLiteral(", linev REAL, loadpct REAL, bcharge REAL, timeleft REAL)")) &&
            exec(QStringLiteral("CREATE INDEX IF NOT EXISTS upsmeasurements_time ON "
                                "upsmeasurements (time_ms)")) &&
            exec(QStringLiteral("CREATE TABLE IF NOT EXISTS upsmeasurements_minutes ("
                                "minute INTEGER PRIMARY KEY, row_count INTEGER NOT NULL") +
                 minuteColumns(QStringLiteral(" REAL")) + QLatin1Char(')')) &&
            exec(QStringLiteral("CREATE INDEX IF NOT EXISTS upsmeasurements_unsent ON "
                                "upsmeasurements (id) WHERE state = 0")) &&
            exec(QStringLiteral("CREATE TABLE IF NOT EXISTS upsevents ("
                                "id INTEGER PRIMARY KEY AUTOINCREMENT, "
                                "time_ms INTEGER NOT NULL, state INTEGER NOT NULL") +
                 textColumns(columns(Kind::Event)) + QLatin1Char(')')) &&
            exec(QStringLiteral(
                    "CREATE INDEX IF NOT EXISTS upsevents_time ON upsevents (time_ms)")) &&
            exec(QStringLiteral("CREATE INDEX IF NOT EXISTS upsevents_unsent ON "
                                "upsevents (id) WHERE state = 0")) &&
            exec(QStringLiteral("CREATE TABLE IF NOT EXISTS journal_meta ("
                                "key TEXT PRIMARY KEY, value TEXT NOT NULL)")) &&
            db.commit();
    if (!ready) {
        if (error.isEmpty())
            error = db.lastError().text();
        db.rollback();
        db.close();
        *errorText = error;
        return false;
    }
    restrictToOwner(filePath);
    opened = true;
    return true;
}

bool Journal::exec(const QString &statement, const QVariantList &values, QList<QVariantList> *rows)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    bool ok = query.prepare(statement);
    if (ok) {
        for (const QVariant &value : values)
            query.addBindValue(value);
        ok = query.exec();
    }
    if (!ok) {
        error = query.lastError().text();
        return false;
    }
    if (rows && query.isSelect())
        *rows += takeRows(query);
    return true;
}

QVariant Journal::leadingNumber(const QString &value)
{
    static const QRegularExpression number(
            QStringLiteral("^\\s*([-+]?[0-9]+(?:\\.[0-9]+)?|[-+]?\\.[0-9]+)"));
    const QRegularExpressionMatch match = number.match(value);
    if (!match.hasMatch())
        return QVariant(QVariant::Double);
    return match.captured(1).toDouble();
}

std::optional<qint64> Journal::append(Kind kind, const QStringList &values,
                                      const QVariantList &numbers, State state, qint64 timeMs)
{
    const QStringList &names = columns(kind);
    if (!opened || values.size() != names.size())
        return std::nullopt;
    QStringList all = names;
    if (kind == Kind::Measurement)
        all += numberColumns();
    QString marks;
    for (int i = 0; i < all.size() + 2; ++i)
        marks += i == 0 ? QStringLiteral("?") : QStringLiteral(",?");
    QVariantList bound{timeMs, int(state)};
    for (const QString &value : values)
        bound.append(value.isEmpty() ? QStringLiteral("N/A") : value);
    bound += numbers;

    // The row and its minute's figures: one transaction, synced once.
    if (!db.transaction()) {
        error = db.lastError().text();
        return std::nullopt;
    }
    QSqlQuery query(db);
    bool ok = query.prepare(QStringLiteral("INSERT INTO ") + tableName(kind) +
                            QStringLiteral(" (time_ms, state, ") + columnList(all) +
                            QStringLiteral(") VALUES (") + marks + QLatin1Char(')'));
    if (ok) {
        for (const QVariant &value : bound)
            query.addBindValue(value);
        ok = query.exec();
    }
    if (!ok)
        error = query.lastError().text();
    const qint64 id = query.lastInsertId().toLongLong();
    if (ok && kind == Kind::Measurement) {
        QVariantList minute{timeMs / 60000};
        for (const QVariant &number : numbers)
            minute << number << number;
        ok = exec(minuteUpsert(), minute);
    }
    if (!ok || !db.commit()) {
        if (ok)
            error = db.lastError().text();
        db.rollback();
        return std::nullopt;
    }
    return id;
}

std::optional<qint64> Journal::appendMeasurement(const QStringList &values, const QString &timeLeft,
                                                 State state, qint64 timeMs)
{
    const QVariantList numbers{leadingNumber(values.value(2)), leadingNumber(values.value(6)),
                               leadingNumber(values.value(13)), leadingNumber(timeLeft)};
    return append(Kind::Measurement, values, numbers, state, timeMs);
}

std::optional<qint64> Journal::appendEvent(const QStringList &values, State state, qint64 timeMs)
{
    return append(Kind::Event, values, {}, state, timeMs);
}

QString Journal::newestEventMessage()
{
    QList<QVariantList> rows;
    if (!opened ||
        !exec(QStringLiteral("SELECT message FROM upsevents ORDER BY id DESC LIMIT 1"), {}, &rows))
        return QString();
    return rows.value(0).value(0).toString();
}

bool Journal::hasEvents()
{
    QList<QVariantList> rows;
    return opened && exec(QStringLiteral("SELECT 1 FROM upsevents LIMIT 1"), {}, &rows) &&
            !rows.isEmpty();
}

std::optional<Journal::Row> Journal::rowOf(Kind kind, const QVariantList &record)
{
    if (record.size() < leadingColumns + columns(kind).size())
        return std::nullopt;
    Row row;
    row.id = record.at(0).toLongLong();
    row.timeMs = record.at(1).toLongLong();
    row.state = State(record.at(2).toInt());
    for (int i = 0; i < columns(kind).size(); ++i)
        row.values.append(record.at(leadingColumns + i).toString());
    return row;
}

std::optional<Journal::Row> Journal::firstUnsent(Kind kind)
{
    QList<QVariantList> rows;
    if (!opened ||
        !exec(QStringLiteral("SELECT id, time_ms, state, ") + columnList(columns(kind)) +
                      QStringLiteral(" FROM ") + tableName(kind) +
                      QStringLiteral(" WHERE state = 0 ORDER BY id LIMIT 1"),
              {}, &rows) ||
        rows.isEmpty())
        return std::nullopt;
    return rowOf(kind, rows.first());
}

bool Journal::setState(Kind kind, qint64 id, State state)
{
    return opened &&
            exec(QStringLiteral("UPDATE ") + tableName(kind) +
                         QStringLiteral(" SET state = ? WHERE id = ?"),
                 {int(state), id});
}

qint64 Journal::countUnsent()
{
    qint64 total = 0;
    for (const Kind kind : {Kind::Measurement, Kind::Event}) {
        QList<QVariantList> rows;
        if (opened &&
            exec(QStringLiteral("SELECT COUNT(*) FROM ") + tableName(kind) +
                         QStringLiteral(" WHERE state = 0"),
                 {}, &rows))
            total += rows.value(0).value(0).toLongLong();
    }
    return total;
}

QList<Journal::Row> Journal::sentBetween(Kind kind, qint64 afterId, qint64 beforeId)
{
    QList<QVariantList> rows;
    QList<Row> result;
    if (!opened ||
        !exec(QStringLiteral("SELECT id, time_ms, state, ") + columnList(columns(kind)) +
                      QStringLiteral(" FROM ") + tableName(kind) +
                      QStringLiteral(" WHERE id > ? AND id < ? AND state = 1 ORDER BY id"),
              {afterId, beforeId}, &rows))
        return result;
    for (const QVariantList &record : rows) {
        if (const std::optional<Row> row = rowOf(kind, record))
            result.append(*row);
    }
    return result;
}

qint64 Journal::settledUpTo(Kind kind)
{
    QList<QVariantList> rows;
    if (!opened ||
        !exec(QStringLiteral("SELECT (SELECT MIN(id) FROM ") + tableName(kind) +
                      QStringLiteral(" WHERE state = 0), (SELECT COALESCE(MAX(id), 0) FROM ") +
                      tableName(kind) + QLatin1Char(')'),
              {}, &rows) ||
        rows.isEmpty())
        return 0;
    const QVariantList &row = rows.first();
    return row.value(0).isNull() ? row.value(1).toLongLong() : row.value(0).toLongLong() - 1;
}

qint64 Journal::dropOldestUnsentMeasurements(qint64 count)
{
    QSqlQuery query(db);
    if (!opened ||
        !query.prepare(QStringLiteral("DELETE FROM upsmeasurements WHERE id IN (SELECT id FROM "
                                      "upsmeasurements WHERE state = 0 ORDER BY id LIMIT ?)")))
        return 0;
    query.addBindValue(count);
    if (!query.exec()) {
        error = query.lastError().text();
        return 0;
    }
    return query.numRowsAffected();
}

qint64 Journal::prune(Kind kind, qint64 cutoffMs, qint64 keepSentAbove, int batch)
{
    const QString table = tableName(kind);
    // History ends where the rows do.
    if (kind == Kind::Measurement)
        exec(QStringLiteral("DELETE FROM upsmeasurements_minutes WHERE minute < ?"),
             {cutoffMs / 60000});
    QSqlQuery query(db);
    if (!opened ||
        !query.prepare(QStringLiteral("DELETE FROM ") + table +
                       QStringLiteral(" WHERE id IN (SELECT id FROM ") + table +
                       QStringLiteral(" WHERE time_ms < ? AND state <> 0 AND (state <> 1 OR id "
                                      "<= ?) ORDER BY id LIMIT ?)")))
        return 0;
    query.addBindValue(cutoffMs);
    query.addBindValue(keepSentAbove);
    query.addBindValue(batch);
    if (!query.exec()) {
        error = query.lastError().text();
        return 0;
    }
    return query.numRowsAffected();
}

void Journal::checkpoint()
{
    if (opened)
        exec(QStringLiteral("PRAGMA wal_checkpoint(PASSIVE)"));
}

QString Journal::meta(const QString &key)
{
    QList<QVariantList> rows;
    if (!opened ||
        !exec(QStringLiteral("SELECT value FROM journal_meta WHERE key = ?"), {key}, &rows))
        return QString();
    return rows.value(0).value(0).toString();
}

bool Journal::setMeta(const QString &key, const QString &value)
{
    return opened &&
            exec(QStringLiteral("INSERT OR REPLACE INTO journal_meta (key, value) VALUES (?, ?)"),
                 {key, value});
}
