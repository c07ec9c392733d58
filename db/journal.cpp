#include "journal.h"

#include "serverconnection.h"
#include "sqlrows.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QUuid>

#include <limits>

namespace {

// Long enough for the sending thread's short transactions, which are the only
// ones that can hold the journal for a moment.
constexpr int busyTimeoutMs = 10000;

// SQLite's primary result codes, as Qt's driver reports them.
constexpr int sqliteBusy = 5;
constexpr int sqliteLocked = 6;
constexpr int sqliteCorrupt = 11;
constexpr int sqliteNotADatabase = 26;

std::function<qint64()> &replacedClock()
{
    static std::function<qint64()> clock;
    return clock;
}

quint32 bigEndian32(const uchar *bytes)
{
    return quint32(bytes[0]) << 24 | quint32(bytes[1]) << 16 | quint32(bytes[2]) << 8 |
            quint32(bytes[3]);
}

} // namespace

QString Journal::damageOf(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() == 0)
        return QString();
    const QByteArray header = file.read(100);
    if (header.size() < 100 || !header.startsWith(QByteArrayLiteral("SQLite format 3\0")))
        return QStringLiteral("it is not an SQLite database");
    const auto *bytes = reinterpret_cast<const uchar *>(header.constData());
    const quint32 rawPageSize = quint32(bytes[16]) << 8 | bytes[17];
    const qint64 pageSize = rawPageSize == 1 ? 65536 : rawPageSize;
    // The page count in the header counts only when it was written with the
    // change counter it names.
    const quint32 pages = bigEndian32(bytes + 28);
    if (pageSize >= 512 && pages > 0 && bigEndian32(bytes + 92) == bigEndian32(bytes + 24) &&
        file.size() < pageSize * pages)
        return QStringLiteral("it is cut short: %1 of its %2 bytes are left")
                .arg(file.size())
                .arg(pageSize * pages);
    return QString();
}

namespace {

// SQLite's checksum over a write-ahead log's header and frames: 32-bit words
// in the byte order that the log's magic number names.
void walChecksum(const uchar *bytes, int size, bool bigEndianWords, quint32 sums[2])
{
    for (int i = 0; i + 8 <= size; i += 8) {
        quint32 words[2];
        for (int w = 0; w < 2; ++w) {
            const uchar *at = bytes + i + 4 * w;
            words[w] = bigEndianWords ? bigEndian32(at)
                                      : quint32(at[0]) | quint32(at[1]) << 8 |
                            quint32(at[2]) << 16 | quint32(at[3]) << 24;
        }
        sums[0] += words[0] + sums[1];
        sums[1] += words[1] + sums[0];
    }
}

// What SQLite will leave unread of the write-ahead log at path: "" when it
// reads every committed transaction. Follows SQLite's recovery: frames count
// while their salts match the header and their checksums chain; the log ends
// at the last valid commit frame.
QString walLossOf(const QString &walPath)
{
    QFile wal(walPath);
    if (!wal.open(QIODevice::ReadOnly) || wal.size() < 32)
        return QString();
    const QByteArray headerBytes = wal.read(32);
    const auto *header = reinterpret_cast<const uchar *>(headerBytes.constData());
    const quint32 magic = bigEndian32(header);
    const quint32 pageSize = bigEndian32(header + 8);
    const bool sizeValid = pageSize >= 512 && pageSize <= 65536 && (pageSize & (pageSize - 1)) == 0;
    quint32 sums[2] = {0, 0};
    const bool bigEndianWords = magic & 1;
    if ((magic & ~1u) == 0x377f0682u)
        walChecksum(header, 24, bigEndianWords, sums);
    if ((magic & ~1u) != 0x377f0682u || bigEndian32(header + 4) != 3007000 || !sizeValid ||
        sums[0] != bigEndian32(header + 24) || sums[1] != bigEndian32(header + 28)) {
        // Without a valid header SQLite ignores every frame of the log.
        return wal.size() > 32
                ? QStringLiteral("its header is damaged: all of its %1 bytes").arg(wal.size())
                : QString();
    }
    const QByteArray salts = headerBytes.mid(16, 8);
    qint64 frame = 0;
    qint64 brokenAt = 0;
    bool chainBroken = false;
    qint64 lostCommits = 0;
    for (;; ++frame) {
        const QByteArray bytes = wal.read(24 + qint64(pageSize));
        if (bytes.size() < 24 + qint64(pageSize))
            break;
        const auto *frameHeader = reinterpret_cast<const uchar *>(bytes.constData());
        // Frames of an earlier generation of the log: checkpointed already.
        if (bytes.mid(8, 8) != salts)
            break;
        const bool commit = bigEndian32(frameHeader + 4) != 0;
        if (!chainBroken) {
            walChecksum(frameHeader, 8, bigEndianWords, sums);
            walChecksum(frameHeader + 24, int(pageSize), bigEndianWords, sums);
            chainBroken = sums[0] != bigEndian32(frameHeader + 16) ||
                    sums[1] != bigEndian32(frameHeader + 20);
            if (chainBroken)
                brokenAt = frame + 1;
        } else if (commit) {
            ++lostCommits;
        }
    }
    if (lostCommits == 0)
        return QString();
    return QStringLiteral("frame %1 of %2 is damaged: %3 committed transactions after it")
            .arg(brokenAt)
            .arg(frame)
            .arg(lostCommits);
}

QString newestEventKey()
{
    return QStringLiteral("events.newest");
}

QString stamp(const QDateTime &when)
{
    return when.toString(QStringLiteral("yyyyMMdd-hhmmss"));
}

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

qint64 Journal::now()
{
    return replacedClock() ? replacedClock()() : QDateTime::currentMSecsSinceEpoch();
}

void Journal::setClock(std::function<qint64()> clock)
{
    replacedClock() = std::move(clock);
}

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
    failure = Failure::Other;
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
    db.setConnectOptions(
            QStringLiteral("QSQLITE_BUSY_TIMEOUT=") +
            QString::number(mode == Mode::Durable ? recordingBusyTimeoutMs : busyTimeoutMs));
    if (!db.open()) {
        noteFailure(db.lastError());
        *errorText = error;
        return false;
    }

    failure = Failure::None;
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
            exec(QStringLiteral("BEGIN IMMEDIATE")) &&
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
            exec(QStringLiteral("COMMIT"));
    if (!ready) {
        if (error.isEmpty())
            error = QStringLiteral("the journal's mode is not WAL");
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        db.close();
        *errorText = error;
        return false;
    }
    restrictToOwner(filePath);
    opened = true;
    return true;
}

void Journal::close()
{
    opened = false;
    if (db.isOpen())
        db.close();
}

void Journal::setBusyTimeout(int milliseconds)
{
    // Leaves the last failure as it was: it is what the caller asks about.
    const QString reason = error;
    const Failure kind = failure;
    if (opened)
        exec(QStringLiteral("PRAGMA busy_timeout=") + QString::number(milliseconds));
    error = reason;
    failure = kind;
}

void Journal::noteFailure(const QSqlError &sqlError)
{
    error = sqlError.text();
    switch (sqlError.nativeErrorCode().toInt() & 0xff) {
    case sqliteBusy:
    case sqliteLocked:
        failure = Failure::Busy;
        break;
    case sqliteCorrupt:
    case sqliteNotADatabase:
        failure = Failure::Damaged;
        break;
    default:
        failure = Failure::Other;
    }
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
        noteFailure(query.lastError());
        return false;
    }
    failure = Failure::None;
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

std::optional<qint64> Journal::insert(const Record &record)
{
    const QStringList &names = columns(record.kind);
    if (record.values.size() != names.size()) {
        error = QString::number(record.values.size()) + QStringLiteral(" values for ") +
                QString::number(names.size()) + QStringLiteral(" columns");
        failure = Failure::Other;
        return std::nullopt;
    }
    const bool measurement = record.kind == Kind::Measurement;
    QVariantList numbers;
    if (measurement)
        numbers = {leadingNumber(record.values.value(2)), leadingNumber(record.values.value(6)),
                   leadingNumber(record.values.value(13)), leadingNumber(record.timeLeft)};
    QStringList all = names;
    if (measurement)
        all += numberColumns();
    QString marks;
    for (int i = 0; i < all.size() + 2; ++i)
        marks += i == 0 ? QStringLiteral("?") : QStringLiteral(",?");
    QVariantList bound{record.timeMs, int(record.state)};
    for (const QString &value : record.values)
        bound.append(value.isEmpty() ? QStringLiteral("N/A") : value);
    bound += numbers;

    QSqlQuery query(db);
    bool ok = query.prepare(QStringLiteral("INSERT INTO ") + tableName(record.kind) +
                            QStringLiteral(" (time_ms, state, ") + columnList(all) +
                            QStringLiteral(") VALUES (") + marks + QLatin1Char(')'));
    if (ok) {
        for (const QVariant &value : bound)
            query.addBindValue(value);
        ok = query.exec();
    }
    if (!ok) {
        noteFailure(query.lastError());
        return std::nullopt;
    }
    const qint64 id = query.lastInsertId().toLongLong();
    // Where the event walk stands, kept apart from the rows, which are pruned.
    if (!measurement &&
        !exec(QStringLiteral("INSERT OR REPLACE INTO journal_meta (key, value) VALUES (?, ?)"),
              {newestEventKey(), bound.value(3)}))
        return std::nullopt;
    if (measurement) {
        QVariantList minute{record.timeMs / 60000};
        for (const QVariant &number : numbers)
            minute << number << number;
        if (!exec(minuteUpsert(), minute))
            return std::nullopt;
    }
    return id;
}

bool Journal::appendAll(const QList<Record> &records)
{
    if (!opened) {
        failure = Failure::Other;
        return false;
    }
    // The rows and their minutes' figures: one transaction, synced once. The
    // lock is taken at the start, so that a lock held elsewhere is found
    // before anything is written.
    if (!exec(QStringLiteral("BEGIN IMMEDIATE")))
        return false;
    bool ok = true;
    for (const Record &record : records) {
        const std::optional<qint64> id = insert(record);
        if (!id) {
            ok = false;
            break;
        }
        lastAppendedId = *id;
    }
    if (ok && exec(QStringLiteral("COMMIT")))
        return true;
    // What went wrong, not what the rollback says.
    const QString reason = error;
    const Failure kind = failure;
    exec(QStringLiteral("ROLLBACK"));
    error = reason;
    failure = kind;
    return false;
}

std::optional<qint64> Journal::appendMeasurement(const QStringList &values, const QString &timeLeft,
                                                 State state, qint64 timeMs)
{
    if (!appendAll({Record{Kind::Measurement, values, timeLeft, timeMs, state}}))
        return std::nullopt;
    return lastAppendedId;
}

std::optional<qint64> Journal::appendEvent(const QStringList &values, State state, qint64 timeMs)
{
    if (!appendAll({Record{Kind::Event, values, QString(), timeMs, state}}))
        return std::nullopt;
    return lastAppendedId;
}

std::optional<qint64> Journal::newestTime()
{
    QList<QVariantList> rows;
    if (!opened ||
        !exec(QStringLiteral("SELECT (SELECT MAX(time_ms) FROM upsmeasurements), "
                             "(SELECT MAX(time_ms) FROM upsevents)"),
              {}, &rows) ||
        rows.isEmpty())
        return std::nullopt;
    // Either table may be empty.
    const QVariantList &row = rows.first();
    std::optional<qint64> newest;
    for (int i = 0; i < 2; ++i) {
        if (!row.value(i).isNull())
            newest = qMax(newest.value_or(row.value(i).toLongLong()), row.value(i).toLongLong());
    }
    return newest;
}

QString Journal::newestEventMessage()
{
    QList<QVariantList> rows;
    // A journal of an earlier version has the rows only.
    if (!opened ||
        !exec(QStringLiteral("SELECT COALESCE((SELECT value FROM journal_meta WHERE key = ?), "
                             "(SELECT message FROM upsevents ORDER BY id DESC LIMIT 1))"),
              {newestEventKey()}, &rows))
        return QString();
    return rows.value(0).value(0).toString();
}

bool Journal::hasEvents()
{
    return !newestEventMessage().isEmpty();
}

QString Journal::deliverySource()
{
    // Made by whichever side opens the journal first; both read the same.
    if (opened && meta(deliverySourceKey()).isEmpty())
        exec(QStringLiteral("INSERT OR IGNORE INTO journal_meta (key, value) VALUES (?, ?)"),
             {deliverySourceKey(), QUuid::createUuid().toString(QUuid::WithoutBraces)});
    return meta(deliverySourceKey());
}

qint64 Journal::retryRefused()
{
    qint64 total = 0;
    for (const Kind kind : {Kind::Measurement, Kind::Event}) {
        QSqlQuery query(db);
        if (opened &&
            query.exec(QStringLiteral("UPDATE ") + tableName(kind) +
                       QStringLiteral(" SET state = 0 WHERE state = 3")))
            total += query.numRowsAffected();
    }
    return total;
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

std::optional<Journal::Row> Journal::firstUnsent(Kind kind, qint64 afterId)
{
    QList<QVariantList> rows;
    if (!opened ||
        !exec(QStringLiteral("SELECT id, time_ms, state, ") + columnList(columns(kind)) +
                      QStringLiteral(" FROM ") + tableName(kind) +
                      QStringLiteral(" WHERE state = 0 AND id > ? ORDER BY id LIMIT 1"),
              {afterId}, &rows) ||
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
    if (!opened)
        return 0;
    // The first row, in the order of recording, that is not old: it and every
    // row after it stay. Read in that order, this looks at the old rows only.
    QList<QVariantList> first;
    if (!exec(QStringLiteral("SELECT id FROM ") + table +
                      QStringLiteral(" NOT INDEXED WHERE time_ms >= ? ORDER BY id LIMIT 1"),
              {cutoffMs}, &first))
        return 0;
    const qint64 keptFrom = first.isEmpty() ? std::numeric_limits<qint64>::max()
                                            : first.first().value(0).toLongLong();
    // A journal of an earlier version keeps the walk's place in its newest
    // event row only: it is written down before that row can go.
    if (kind == Kind::Event &&
        !exec(QStringLiteral("INSERT OR IGNORE INTO journal_meta (key, value) SELECT ?, message "
                             "FROM upsevents ORDER BY id DESC LIMIT 1"),
              {newestEventKey()}))
        return 0;
    QSqlQuery query(db);
    if (!query.prepare(QStringLiteral("DELETE FROM ") + table +
                       QStringLiteral(" WHERE id IN (SELECT id FROM ") + table +
                       QStringLiteral(" WHERE id < ? AND state <> 0 AND (state <> 1 OR id "
                                      "<= ?) ORDER BY id LIMIT ?)")))
        return 0;
    query.addBindValue(keptFrom);
    query.addBindValue(keepSentAbove);
    query.addBindValue(batch);
    if (!query.exec()) {
        noteFailure(query.lastError());
        return 0;
    }
    const qint64 removed = query.numRowsAffected();
    // History ends where the rows do.
    if (kind == Kind::Measurement && removed > 0)
        exec(QStringLiteral("DELETE FROM upsmeasurements_minutes WHERE minute < "
                            "(SELECT MIN(time_ms) FROM upsmeasurements) / 60000"));
    return removed;
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

qint64 Journal::pruneHorizon()
{
    const QString stored = meta(pruneHorizonKey());
    return stored.isEmpty() ? newestTime().value_or(now()) : stored.toLongLong();
}

QString Journal::setAside(const QString &path, const QDateTime &when, QString *error)
{
    const QString aside = path + QStringLiteral(".damaged-") + stamp(when);
    // The log and its index go with the file, under the names SQLite gives
    // them, so that the copy opens with what its log holds.
    for (const QString &suffix : {QString(), QStringLiteral("-wal"), QStringLiteral("-shm")}) {
        QFile file(path + suffix);
        if (!file.exists())
            continue;
        if (!file.rename(aside + suffix)) {
            *error = file.errorString();
            return QString();
        }
    }
    return aside;
}

QString Journal::keepDiscardedLog(const QString &path, const QDateTime &when)
{
    const QString wal = path + QStringLiteral("-wal");
    const QString loss = walLossOf(wal);
    if (loss.isEmpty())
        return QString();
    const QString copy = wal + QStringLiteral(".discarded-") + stamp(when);
    const bool copied = QFile::copy(wal, copy);
    if (copied)
        QFile::setPermissions(copy, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return QFileInfo(wal).fileName() + QStringLiteral(": ") + loss +
            (copied ? QStringLiteral("; a copy is kept as ") + QFileInfo(copy).fileName()
                    : QString());
}
