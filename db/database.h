#pragma once

#include "journal.h"

#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>

class JournalKeeper;
class LogWriter;
class Logs;
class PendingRows;
class QThread;
class Registry;

// The logging database as the rest of the program sees it: measurement and
// event rows are handed over here and reach the MySQL server without the
// caller ever waiting for the server.
//
// A handed-over row is first appended to the local journal (journal.h), in
// one transaction that is on disk before the call returns; the log writer
// (logwriter.h) sends it from there on a thread of its own, in order, once,
// also after an outage or a restart of the program. While no database is set
// (no dbhost), rows are kept in the journal only. The journal keeps sent rows
// as local history; journalPath() names it for readers. The caller never
// waits on the journal either: while it is locked elsewhere or cannot take
// rows, they wait in memory (journalkeeper.h).
//
// Every call must come from the thread that constructed the object (the GUI
// thread). Debug builds assert it.
class DataBase final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(DataBase)

public:
    // Shows the text of a refused connection to the user. Without one the
    // text goes to the trace: the window puts its message box here, a program
    // without a window leaves it; tests put their own in its place.
    using FailureNotice = std::function<void(const QString &text)>;

    // The process-wide object, its journal beside confdata. Never destroyed.
    static DataBase *instance();

    // Copies missing database settings from the user registry, opens the
    // journal (journalPath, or "journal.db" beside the settings file) and
    // starts the writer. The connection is opened by openConnection() only.
    DataBase(Registry *registry, Logs *logs, const QString &journalPath = QString());
    // Stops the writer; waits for a statement it has out to end.
    ~DataBase() override;

    // Hands the current settings to the writer, which closes the connection
    // and opens it with them (nothing is opened when no host is set). Returns
    // at once; a refusal is shown through the failure notice when the answer
    // comes, from the event loop, and connectionAnswered() follows every answer.
    void openConnection();
    // True while the writer holds an open connection.
    bool isConnected() const;

    // One row each, values in column order (22 for a measurement, 7 for an
    // event; an empty value is stored as "N/A"). Appended to the journal,
    // durably, and handed to the writer; never waits for the server. A
    // measurement also keeps TIMELEFT, for the local history only. True when
    // the row was taken: appended, or waiting in memory for the journal or
    // the server. False when it was not, and may be offered again.
    bool writeMeasurement(const QStringList &values, const QString &timeLeft = QString());
    bool writeEvent(const QStringList &values);
    // The message of the newest event row: the newest one handed over, or
    // the journal's, or when the journal holds none, the server's as read
    // when the connection opened; else "".
    QString lastEventMessage();
    // Whether lastEventMessage() is what the event walk may start after:
    // false only while the server's message may still come (the journal
    // holds no event row and the first open has not been answered).
    bool lastEventMessageKnown() const;
    // Why rows are not kept in the local journal; "" while they are.
    QString notKeptReason() const;

    // The journal file, for read-only readers (Journal::openReadOnly).
    QString journalPath() const { return journalFile; }
    // Rows in the journal that wait to be sent.
    qint64 unsentRows() const;

    // Replaces the notice for every DataBase object and returns the one it
    // replaces; an empty function leaves the trace alone.
    static FailureNotice setFailureNotice(FailureNotice notice);

    // Reconnect attempts wait firstMs after a failure, doubling up to
    // longestMs (default 1 s to 60 s). Takes effect for the next failure.
    void setReconnectBackoff(int firstMs, int longestMs);
    // At most this many rows wait to be sent (default 500,000).
    void setUnsentLimit(qint64 rows);

signals:
    // Rows stopped being kept locally (with the reason), or are kept again ("").
    void keepingChanged(const QString &notKeptReason);
    // The writer answered an openConnection(): connected or not.
    void connectionAnswered(bool connected);

private:
    void assertOwnerThread() const;
    void importFromUserRegistry();
    // Closes the writer's journal and connection on its thread and ends it.
    void stopWriter(unsigned long waitMs);
    bool take(Journal::Kind kind, const QStringList &values, const QString &timeLeft);
    // Tells the writer of rows appended to the journal.
    void announceAppended(int total, int unsent);
    void openAnswered(quint64 request, bool configured, bool refused, const QString &error);
    void showAnswer(quint64 request);

    // The settings store and the trace log.
    Registry *registry;
    Logs *logs;

    QString journalFile;
    std::shared_ptr<PendingRows> pending;
    JournalKeeper *keeper = nullptr;
    QThread *writerThread = nullptr;
    LogWriter *writer = nullptr;
    bool writerStopping = false;

    // Rows keep state LocalOnly while no database is set.
    bool configured = false;
    // Whether the first openConnection() named a database.
    bool firstOpenConfigured = false;
    quint64 requests = 0;

    // The answers to openConnection(), filled on the writer's thread.
    mutable QMutex answerMutex;
    quint64 answeredRequest = 0;
    bool answerRefused = false;
    bool answerConfigured = false;
    QString answerError;
    quint64 shownRequest = 0;

    // Appends not yet announced to the writer.
    std::atomic<int> appendedRows{0};
    std::atomic<int> appendedUnsent{0};
    std::atomic<bool> announcementQueued{false};
};
