#pragma once

#include "journal.h"
#include "serverconnection.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QObject>
#include <QSet>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>

class Logs;
class PendingRows;
class QTimer;

// Sends the journal's rows to the MySQL server on a thread of its own, so that
// nothing the server does (refusing, hanging, restarting) ever holds up the
// thread that records the rows. It owns the server connection: the open, the
// table creation, the column widths, every INSERT, the last-event query and
// every reconnect happen here.
//
// Rows go out in the order they were recorded, one at a time, and are marked
// sent only after the server confirmed them. Rows that the journal could not
// take wait in memory (pendingrows.h); while the journal cannot take rows at
// all, they are sent from there, after the journal's own. When the connection fails, the
// rows wait in the journal and reconnect attempts back off (1 s doubling to
// 60 s). When it failed while a row was out, that row is looked for in the
// table before it is sent again, so that it is stored once.
//
// Created on the thread that owns the database object and moved to the
// writer's thread; the slots are called there (queued).
class LogWriter final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(LogWriter)

public:
    // The outcome of an open asked for with applySettings().
    struct OpenAnswer
    {
        quint64 request = 0;
        bool configured = false;
        ServerConnection::OpenResult result = ServerConnection::OpenResult::Refused;
        QString error;
    };
    // Called on the writer's thread with the answer to each applySettings().
    using AnswerHandler = std::function<void(const OpenAnswer &answer)>;

    LogWriter(Logs *logs, const QString &journalPath, const QString &connectionPrefix,
              std::shared_ptr<PendingRows> pending, AnswerHandler answers);
    ~LogWriter() override;

    // Any thread.
    bool isConnected() const { return connected; }
    // The newest event message on the server, read when the journal held no
    // event row as the connection opened; "" otherwise.
    QString serverLastEventMessage() const;

    // Writer's thread; they take effect from the next failure on.
    void setBackoff(int firstMs, int longestMs);
    void setUnsentLimit(qint64 rows) { unsentLimit = rows; }

public slots:
    // Writer's thread: opens its journal connection and the server connection object.
    void start();
    // Writer's thread: closes everything; nothing is sent afterwards.
    void finish();
    // Closes the connection and opens it with these settings (none set: rows
    // stay local). Answers through the answer handler.
    void applySettings(const ConnectionSettings &settings, quint64 request);
    // total rows were appended to the journal, unsent of them to be sent.
    void rowsAppended(int total, int unsent);
    // Rows wait in memory that may be sent from there.
    void pendingRowsWaiting();
    // Closes the connection to the journal, which is to be set aside.
    void releaseJournal();
    // Opens the journal again where it is closed (a new one, or one that
    // could not be opened before).
    void reopenJournal();

private:
    using Kind = Journal::Kind;
    using Table = ServerConnection::Table;

    // Where the server stood when this program last knew every row of a kind
    // up to journalId to be settled: rows sent afterwards got ids above serverMaxId.
    struct Watermark
    {
        QString target;
        qint64 serverMaxId = -1;
        qint64 journalId = 0;
        ServerConnection::Session session;
        bool isValid() const { return serverMaxId >= 0; }
    };

    // What one turn of sending from memory came to.
    enum class Turn { Idle, Sent, Stopped };

    static int index(Kind kind) { return kind == Kind::Measurement ? 0 : 1; }
    static Table tableOf(Kind kind);
    static QString errorPrefix(Kind kind);

    void openJournal();
    void retry();
    void readServerLastEvent();
    // Sends the oldest row waiting in memory, of the kinds open.
    Turn sendFromMemory(const bool open[2]);
    QString memorySource();
    bool isBlocked(Kind kind) const;
    void blockKind(Kind kind, const QString &error);
    void armUnblockTimer();
    void rowStored(Kind kind, ServerConnection::Outcome outcome);
    void traceRefusal(Kind kind, const QString &error);
    // Refused rows wait to be sent again (the settings saved, every hour).
    void retryRefusedRows();
    // The server answers, but the rows in doubt cannot be read back.
    void cannotLookFor(const QString &error);
    void hourly();
    // After an open: settles the rows in doubt, sets the watermarks, sends.
    void connectionOpened();
    // Whether the session that a doubtful row went out in has ended.
    bool earlierSessionEnded();
    // Looks for the first waiting row of the kind in the table; false when
    // the server did not answer.
    bool settle(Kind kind);
    bool refreshWatermark(Kind kind);
    void loadWatermarks();
    void storeWatermark(Kind kind);
    void schedulePump();
    void pump();
    // Records the server's answer for a journal row in the journal.
    void markAnswered(Kind kind, qint64 id, Journal::State state);
    // Writes the marks that could not be written before, where it can now.
    void markUnmarked();
    void connectionFailed(Kind kind, const QString &error, bool rowInDoubt);
    // The connection broke down while settling: try again later.
    void lostWhileSettling();
    void scheduleRetry();
    void backlogSent();
    void enforceLimit();
    void prune();
    void pruneOnce();
    // The time that pruning may go by: the wall clock, slowed where it ran ahead.
    qint64 pruneHorizon(qint64 wallNow) const;
    void storePruneHorizon(qint64 wallNow);

    Logs *logs;
    QString journalPath;
    QString connectionPrefix;
    AnswerHandler answers;
    std::unique_ptr<Journal> journal;
    std::shared_ptr<PendingRows> pending;
    std::unique_ptr<ServerConnection> server;
    QTimer *retryTimer = nullptr;
    QTimer *pruneTimer = nullptr;
    QTimer *unblockTimer = nullptr;

    ConnectionSettings settings;
    bool configured = false;
    std::atomic<bool> connected{false};
    mutable QMutex fallbackMutex;
    QString fallbackMessage;

    int firstBackoffMs = 1000;
    int longestBackoffMs = 60000;
    int backoffMs = 0;
    // The error of the last failed open that was traced, so that a long
    // outage leaves one record per kind of failure, not one per attempt.
    QString lastTracedOpenError;

    // An outage is under way.
    bool outage = false;
    // A write failed during it, and was traced.
    bool writeFailureTraced = false;
    // Writes failed again after a reconnect: further reconnects are not traced.
    bool outageOutlivedReconnect = false;
    // Rows were waiting when the connection opened.
    bool backlogAtOpen = false;
    qint64 sentSinceOpen = 0;

    // Journal rows that the server answered in this run: ids up to this, of
    // each kind, are not sent again, also where their new state could not be
    // written to the journal (a full disk, a lock held elsewhere); those wait
    // in unmarked until it can be.
    qint64 answeredUpTo[2] = {0, 0};
    // The journal's name on the server's delivery keys, and this run's for
    // rows that never were in the journal.
    QString journalSource;
    QString memoryRun;
    // A kind whose table refuses its rows waits until then (clock's ms), with
    // its own back-off; the failure traced for it.
    QElapsedTimer clock;
    qint64 blockedUntil[2] = {0, 0};
    int kindBackoffMs[2] = {0, 0};
    QString kindFailure[2];
    QSet<QString> tracedRefusals;
    QString tracedUnkeyed[2];
    bool cannotLookForTraced = false;
    QList<QPair<qint64, Journal::State>> unmarked[2];
    Watermark watermarks[2];
    int confirmedSinceWatermark[2] = {0, 0};
    bool doubtful[2] = {false, false};
    bool pumpScheduled = false;
    bool prunedOnce = false;

    qint64 unsent = 0;
    qint64 unsentLimit = Journal::defaultUnsentLimit;
    int appendsSinceCheckpoint = 0;

    // The prune horizon as stored when the journal was opened, and the time
    // the program has run since.
    qint64 horizonAtOpen = 0;
    QElapsedTimer sinceOpen;
};
