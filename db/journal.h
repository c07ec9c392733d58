#pragma once

#include <QDateTime>
#include <QList>
#include <QSqlDatabase>
#include <QSqlError>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <functional>
#include <optional>

// The local journal of measurement and event rows: an SQLite database
// (Qt's QSQLITE driver) in the file "journal.db" beside confdata, created
// readable by its owner only. Every row is appended here first, durably, and
// sent to the MySQL server from here in its order; sent rows stay as local
// history for retentionDays.
//
// Layout, for every reader (the History view reads it, read-only, through
// openReadOnly()):
//
//   upsmeasurements   one row per measurement row, in the order they were recorded
//     id       INTEGER PRIMARY KEY   order of recording
//     time_ms  INTEGER NOT NULL      when the row was recorded: ms since 1970-01-01 UTC
//     state    INTEGER NOT NULL      State below
//     the 22 columns of the server's table, same names, same order, TEXT
//     (status ... monitorversion; an empty value is stored as "N/A")
//     linev, loadpct, bcharge, timeleft   REAL or NULL: the number at the start
//              of LINEV (Volts), LOADPCT (Percent), BCHARGE (Percent) and
//              TIMELEFT (Minutes); TIMELEFT is not sent to the server
//   index upsmeasurements_time (time_ms)
//
//   upsmeasurements_minutes   the four numbers per minute, kept with the rows,
//                             so that a month reads as 44,640 rows, not millions
//     minute     INTEGER PRIMARY KEY   time_ms / 60000
//     row_count  INTEGER NOT NULL      measurement rows recorded in that minute
//     linev_min, linev_max, loadpct_min, loadpct_max, bcharge_min,
//     bcharge_max, timeleft_min, timeleft_max   REAL or NULL (no number that minute)
//
//   upsevents         one row per event line
//     id, time_ms, state as above, then the 7 columns of the server's table
//     (model, message, startdate, lastdump, datetime, mcid, monitorversion)
//   index upsevents_time (time_ms)
//
//   journal_meta (key TEXT PRIMARY KEY, value TEXT): the journal's own bookkeeping.
//
// One Journal object is one connection, used by the thread that opened it.
class Journal final
{
    Q_DISABLE_COPY(Journal)

public:
    enum class Kind { Measurement, Event };

    enum class State {
        Unsent = 0,    // waiting to be sent
        Sent = 1,      // the server confirmed it
        LocalOnly = 2, // recorded while no database was set: never sent
        Refused = 3,   // the server refused its values: kept here only
    };

    enum class Mode {
        // Every append is on disk (fsync) before it returns.
        Durable,
        // For the thread that sends: its own writes need not wait for the
        // disk, and it folds the write-ahead log back into the database file.
        Background,
    };

    struct Row
    {
        qint64 id = 0;
        qint64 timeMs = 0;
        State state = State::Unsent;
        QStringList values;
    };

    // A row as it is handed over, before the journal has given it an id.
    struct Record
    {
        Kind kind = Kind::Measurement;
        // 22 for a measurement, 7 for an event.
        QStringList values;
        // Measurements: TIMELEFT, kept for the local history only.
        QString timeLeft;
        qint64 timeMs = 0;
        State state = State::Unsent;
    };

    // Why the last operation failed, as far as its caller must tell them apart.
    enum class Failure {
        None,
        Busy,    // another connection holds the lock: the same may work a moment later
        Damaged, // the file is not an intact SQLite database
        Other,   // anything else: a full disk, a read-only folder, an I/O error
    };

    // Sent, refused and local-only rows are kept this long, then pruned.
    static constexpr int retentionDays = 31;
    static constexpr qint64 retentionMs = qint64(retentionDays) * 24 * 3600 * 1000;
    // At most this many rows wait to be sent; past it the oldest waiting
    // measurement rows are dropped (never event rows).
    static constexpr qint64 defaultUnsentLimit = 500000;
    // The longest a Durable connection waits for a lock held elsewhere.
    static constexpr int recordingBusyTimeoutMs = 20;

    static QString fileName() { return QStringLiteral("journal.db"); }
    // The wall clock that rows are stamped with and pruned by: the system's,
    // unless replaced (a test sets a wrong clock). An empty function restores it.
    static qint64 now();
    static void setClock(std::function<qint64()> clock);
    static QString tableName(Kind kind);
    // The server's columns of that kind, in order.
    static const QStringList &columns(Kind kind);
    static QString timeColumn() { return QStringLiteral("time_ms"); }
    static QString stateColumn() { return QStringLiteral("state"); }
    // The journal-only numeric columns of upsmeasurements.
    static const QStringList &numberColumns();

    // A connection of its own to the journal at path, for readers on any one
    // thread: read-only, never blocking the program's writes. Remove it with
    // QSqlDatabase::removeDatabase(connectionName) when done.
    static QSqlDatabase openReadOnly(const QString &path, const QString &connectionName,
                                     QString *errorText = nullptr);

    Journal(const QString &path, const QString &connectionName);
    ~Journal();

    // Creates the file (owner only) and the tables when missing. A file that
    // is not an intact SQLite database fails with Failure::Damaged. Durable:
    // never waits for a lock held elsewhere for longer than a moment.
    bool open(Mode mode, QString *errorText);
    void close();
    bool isOpen() const { return opened; }
    QString path() const { return filePath; }
    QString lastError() const { return error; }
    Failure lastFailure() const { return failure; }
    // How long a statement waits for a lock held by another connection.
    void setBusyTimeout(int milliseconds);

    // Appends the records in order, in one transaction: all of them or none.
    bool appendAll(const QList<Record> &records);
    // Appends one row in its own transaction; its id, or nothing on failure.
    // values: 22 for a measurement, 7 for an event. timeLeft: TIMELEFT.
    std::optional<qint64> appendMeasurement(const QStringList &values, const QString &timeLeft,
                                            State state, qint64 timeMs);
    std::optional<qint64> appendEvent(const QStringList &values, State state, qint64 timeMs);
    // The time of the newest row of either kind; nothing when there is none.
    std::optional<qint64> newestTime();

    // The message of the newest event row ever appended, whatever its state,
    // also once that row has been pruned; "" when none.
    QString newestEventMessage();
    bool hasEvents();
    // This journal's name on the server's delivery keys: random, made once,
    // when first asked for; "" when it can be neither read nor made.
    QString deliverySource();
    static QString deliverySourceKey() { return QStringLiteral("delivery.source"); }
    // Rows the server refused for their values wait to be sent again; how many.
    qint64 retryRefused();

    // The oldest row of that kind waiting to be sent, of those with an id above afterId.
    std::optional<Row> firstUnsent(Kind kind, qint64 afterId = 0);
    bool setState(Kind kind, qint64 id, State state);
    qint64 countUnsent();
    // Sent rows of that kind with afterId < id < beforeId, oldest first.
    QList<Row> sentBetween(Kind kind, qint64 afterId, qint64 beforeId);
    // Every row of that kind with an id up to this one no longer waits to be sent.
    qint64 settledUpTo(Kind kind);
    // Deletes up to count of the oldest waiting measurement rows; how many went.
    qint64 dropOldestUnsentMeasurements(qint64 count);
    // Deletes rows recorded before cutoffMs that are no longer waiting, except
    // sent rows of that kind with an id above keepSentAbove; at most batch rows
    // per call; how many went. Rows go oldest first, in the order they were
    // recorded, and only while every row recorded before them is older than
    // cutoffMs too: a row stamped by a clock that was set back is not pruned
    // before the rows recorded ahead of it.
    qint64 prune(Kind kind, qint64 cutoffMs, qint64 keepSentAbove, int batch);
    // Folds the write-ahead log into the database file when no reader needs it.
    void checkpoint();

    QString meta(const QString &key);
    bool setMeta(const QString &key, const QString &value);
    // The time up to which pruning may go by, kept so that a wall clock that
    // jumped ahead is caught up with slowly (ms since 1970 UTC). Where none is
    // kept yet: the newest row's time, or now.
    static QString pruneHorizonKey() { return QStringLiteral("prune.horizon"); }
    qint64 pruneHorizon();

    // Moves the journal at path, with its -wal and -shm files, aside as
    // "<path>.damaged-<when>", so that a new one can begin; nothing is
    // deleted. The new name, or "" with the reason in error.
    static QString setAside(const QString &path, const QDateTime &when, QString *error);
    // Why the file at path cannot be an intact SQLite database: not one at
    // all, or cut short of the pages its header counts; "" when it looks
    // whole. It reads the file itself, so only while no connection of this
    // process has it open: POSIX drops all of a process's locks on a file as
    // soon as any descriptor of it for that file is closed.
    static QString damageOf(const QString &path);
    // A write-ahead log that a program left behind holds transactions that
    // SQLite will not read (a damaged frame, a broken header): it is copied
    // aside as "<path>-wal.discarded-<when>" and what is lost is described.
    // "" when SQLite will read all of it. Call before the journal is opened.
    static QString keepDiscardedLog(const QString &path, const QDateTime &when);

    // The number at the start of a value such as "230.0 Volts", or a null variant.
    static QVariant leadingNumber(const QString &value);

private:
    bool exec(const QString &statement, const QVariantList &values = {},
              QList<QVariantList> *rows = nullptr);
    // One row, inside a transaction the caller holds; its id.
    std::optional<qint64> insert(const Record &record);
    std::optional<Row> rowOf(Kind kind, const QVariantList &record);
    void noteFailure(const QSqlError &sqlError);

    QString filePath;
    QSqlDatabase db;
    bool opened = false;
    QString error;
    Failure failure = Failure::None;
    qint64 lastAppendedId = 0;
};
