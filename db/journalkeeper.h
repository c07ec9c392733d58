#pragma once

#include "journal.h"
#include "pendingrows.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <memory>

class Logs;
class QTimer;

// Takes the rows that the program records into the journal, on the thread
// that records them, and never lets that thread wait on the journal:
//
// - normally a row is on disk before take() returns;
// - while another program holds the journal's lock, rows wait in memory, in
//   order, and are appended as soon as it is free;
// - while the journal cannot take rows at all (a read-only folder, a full
//   disk, an I/O error), rows wait in memory and the log writer sends them
//   straight to the server; they are not kept locally, and notKeptReason()
//   says why. Once the journal takes rows again, what still waits is appended;
// - a journal that is not an intact database is set aside (never deleted)
//   and a new one begun.
//
// A row is taken when it is in the journal or waits in memory; memory holds
// at most PendingRows::defaultLimit rows, past which take() refuses a row, so
// that the caller can offer it again later.
class JournalKeeper final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(JournalKeeper)

public:
    JournalKeeper(Logs *logs, const QString &path, std::shared_ptr<PendingRows> pending,
                  const QString &connectionName, QObject *parent = nullptr);
    ~JournalKeeper() override;

    // Opens the journal, setting a damaged one aside first. Before the writer
    // runs: no one else has the file open then.
    void open();
    bool take(const Journal::Record &record);

    // "" while rows are kept locally.
    QString notKeptReason() const { return notKept; }
    // The newest event message recorded: in memory, or in the journal.
    QString newestEventMessage();
    bool hasEvents();
    qint64 countUnsent();
    // The writer has let go of the journal (after releaseRequested()).
    void writerReleased();
    // At the end: appends what it can and says what is lost.
    void finish();

signals:
    // total rows were appended, unsent of them to be sent.
    void appended(int total, int unsent);
    // Rows wait in memory that the writer may send straight to the server.
    void rowsForServer();
    void keepingChanged(const QString &notKeptReason);
    // The writer is to close its connection to the journal, which is to be
    // set aside, and then call writerReleased().
    void releaseRequested();
    // The journal takes rows again (or is new): the writer is to open it.
    void journalAvailable();

private:
    enum class Attempt { Appended, Busy, Failed };

    bool openJournal();
    void retry();
    Attempt appendWaiting();
    // The row could not be appended: it waits in memory.
    bool keepInMemory(const Journal::Record &record);
    void failed();
    void stopKeeping(const QString &reason);
    void keepingAgain();
    void setAside(const QString &reason);
    void scheduleRetry(int milliseconds);
    void announce(const QList<Journal::Record> &records);

    Logs *logs;
    std::shared_ptr<PendingRows> pending;
    Journal journal;
    QTimer *retryTimer;

    QString notKept;
    // The journal is to be set aside once the writer has let go of it.
    bool damaged = false;
    bool waitingForWriter = false;
    bool setAsideFailureTraced = false;
    // Since when the journal's lock has been held elsewhere, and whether that was traced.
    QElapsedTimer lockedFor;
    bool lockTraced = false;
    bool memoryFullTraced = false;
    // Rows that waited in memory and reached the journal since the last record.
    qint64 appendedFromMemory = 0;
    QString newestEvent;
};
