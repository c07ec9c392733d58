#include "journalkeeper.h"

#include "logs.h"

#include <QDateTime>
#include <QFileInfo>
#include <QTimer>

namespace {

// While another program holds the lock: how often to look again.
constexpr int lockRetryMs = 100;
// While the journal cannot take rows: how often to try again.
constexpr int faultRetryMs = 5000;
// A lock held this long is worth a record; a moment's is not.
constexpr qint64 lockRecordAfterMs = 1000;
constexpr int rowsPerAppend = 500;

} // namespace

JournalKeeper::JournalKeeper(Logs *logsInstance, const QString &path,
                             std::shared_ptr<PendingRows> pendingRows,
                             const QString &connectionName, QObject *parent)
    : QObject(parent)
    , logs(logsInstance)
    , pending(std::move(pendingRows))
    , journal(path, connectionName)
    , retryTimer(new QTimer(this))
{
    retryTimer->setSingleShot(true);
    connect(retryTimer, &QTimer::timeout, this, &JournalKeeper::retry);
}

JournalKeeper::~JournalKeeper() = default;

void JournalKeeper::open()
{
    // Before SQLite reads the log a crash left behind, and maybe drops part of it.
    const QString loss = Journal::keepDiscardedLog(journal.path(), QDateTime::currentDateTime());
    if (!loss.isEmpty())
        logs->trace(QStringLiteral("The journal's write-ahead log is damaged, SQLite does not "
                                   "read all of it: ") +
                    loss);
    // Nothing else has the file open yet: it may be read as it is.
    QString damage = Journal::damageOf(journal.path());
    if (damage.isEmpty()) {
        if (openJournal())
            return;
        if (journal.lastFailure() != Journal::Failure::Damaged) {
            // A lock held elsewhere keeps the rows in memory for a moment.
            failed();
            return;
        }
        damage = journal.lastError();
    }
    damaged = true;
    setAside(damage);
    if (!damaged && openJournal())
        return;
    stopKeeping(damaged ? QStringLiteral("the journal is damaged: ") + damage
                        : journal.lastError());
}

bool JournalKeeper::openJournal()
{
    QString error;
    if (!journal.open(Journal::Mode::Durable, &error))
        return false;
    // Fixed before this run's first row, which a wrong clock may stamp.
    if (journal.meta(Journal::pruneHorizonKey()).isEmpty())
        journal.setMeta(Journal::pruneHorizonKey(), QString::number(journal.pruneHorizon()));
    // Made with the journal: rows of this journal are named by it on the server.
    journal.deliverySource();
    return true;
}

bool JournalKeeper::take(const Journal::Record &record)
{
    bool taken;
    if (!notKept.isEmpty() || !pending->isEmpty() || !journal.isOpen()) {
        taken = keepInMemory(record);
    } else if (journal.appendAll({record})) {
        announce({record});
        taken = true;
    } else {
        taken = keepInMemory(record);
        failed();
    }
    if (taken && record.kind == Journal::Kind::Event)
        newestEvent = record.values.value(1);
    return taken;
}

bool JournalKeeper::keepInMemory(const Journal::Record &record)
{
    if (!pending->push(record)) {
        if (!memoryFullTraced)
            logs->trace(QStringLiteral("Rows are not recorded: the journal does not take them, "
                                       "and ") +
                        QString::number(pending->size()) +
                        QStringLiteral(" rows wait in memory already"));
        memoryFullTraced = true;
        return false;
    }
    memoryFullTraced = false;
    if (!notKept.isEmpty())
        emit rowsForServer();
    scheduleRetry(notKept.isEmpty() ? lockRetryMs : faultRetryMs);
    return true;
}

void JournalKeeper::failed()
{
    switch (journal.lastFailure()) {
    case Journal::Failure::Busy:
        if (!lockedFor.isValid())
            lockedFor.start();
        if (!lockTraced && lockedFor.elapsed() >= lockRecordAfterMs) {
            logs->trace(QStringLiteral("The journal ") + journal.path() +
                        QStringLiteral(" is locked by another program: rows wait in memory "
                                       "until it is free"));
            lockTraced = true;
        }
        scheduleRetry(lockRetryMs);
        break;
    case Journal::Failure::Damaged:
        damaged = true;
        journal.close();
        stopKeeping(QStringLiteral("the journal is damaged: ") + journal.lastError());
        if (!waitingForWriter) {
            waitingForWriter = true;
            emit releaseRequested();
        }
        break;
    case Journal::Failure::None:
    case Journal::Failure::Other:
        stopKeeping(journal.lastError());
        break;
    }
}

void JournalKeeper::stopKeeping(const QString &reason)
{
    pending->setSendable(true);
    if (notKept != reason) {
        if (notKept.isEmpty())
            logs->trace(QStringLiteral("Rows are not kept locally: ") + reason);
        notKept = reason;
        emit keepingChanged(notKept);
    }
    if (!pending->isEmpty())
        emit rowsForServer();
    scheduleRetry(faultRetryMs);
}

void JournalKeeper::retry()
{
    if (waitingForWriter)
        return;
    if (!journal.isOpen()) {
        if (!openJournal()) {
            failed();
            return;
        }
        emit journalAvailable();
    }
    switch (appendWaiting()) {
    case Attempt::Appended:
        if (pending->isEmpty())
            keepingAgain();
        else
            scheduleRetry(0);
        break;
    case Attempt::Busy:
        scheduleRetry(lockRetryMs);
        break;
    case Attempt::Failed:
        failed();
        break;
    }
}

JournalKeeper::Attempt JournalKeeper::appendWaiting()
{
    // The writer takes no row from memory while they are being appended.
    pending->setSendable(false);
    const QList<Journal::Record> records = pending->oldest(rowsPerAppend);
    bool appended;
    if (!records.isEmpty()) {
        // Looked at again shortly: no wait here.
        journal.setBusyTimeout(0);
        appended = journal.appendAll(records);
        journal.setBusyTimeout(Journal::recordingBusyTimeoutMs);
    } else if (!pending->isEmpty()) {
        // The writer has the oldest row out: its answer decides where it goes.
        pending->setSendable(!notKept.isEmpty());
        return Attempt::Busy;
    } else {
        // Nothing waits: a write of the journal's own says whether it takes rows again.
        appended = notKept.isEmpty() ||
                journal.setMeta(QStringLiteral("keeper.lastWrite"),
                                QString::number(Journal::now()));
    }
    if (!appended) {
        pending->setSendable(!notKept.isEmpty());
        return journal.lastFailure() == Journal::Failure::Busy ? Attempt::Busy : Attempt::Failed;
    }
    pending->dropOldest(records.size());
    appendedFromMemory += records.size();
    announce(records);
    return Attempt::Appended;
}

void JournalKeeper::keepingAgain()
{
    lockedFor.invalidate();
    if (lockTraced && notKept.isEmpty())
        logs->trace(QStringLiteral("The journal is free again: ") +
                    QString::number(appendedFromMemory) +
                    QStringLiteral(" rows that waited in memory were written to it"));
    lockTraced = false;
    if (!notKept.isEmpty()) {
        logs->trace(QStringLiteral("Rows are kept locally again: ") +
                    QString::number(pending->takeSentCount()) +
                    QStringLiteral(" rows were sent to the database without being kept, ") +
                    QString::number(appendedFromMemory) +
                    QStringLiteral(" rows that waited in memory were written to the journal"));
        notKept.clear();
        emit keepingChanged(notKept);
        emit journalAvailable();
    }
    appendedFromMemory = 0;
}

void JournalKeeper::writerReleased()
{
    waitingForWriter = false;
    if (damaged)
        setAside(journal.lastError());
    if (damaged)
        scheduleRetry(faultRetryMs);
    else
        retry();
}

void JournalKeeper::setAside(const QString &reason)
{
    QString error;
    const QString aside = Journal::setAside(journal.path(), QDateTime::currentDateTime(), &error);
    if (aside.isEmpty()) {
        if (!setAsideFailureTraced)
            logs->trace(QStringLiteral("The journal ") + journal.path() +
                        QStringLiteral(" is damaged (") + reason +
                        QStringLiteral(") and could not be set aside: ") + error);
        setAsideFailureTraced = true;
        return;
    }
    damaged = false;
    setAsideFailureTraced = false;
    logs->trace(QStringLiteral("The journal ") + journal.path() + QStringLiteral(" is damaged (") +
                reason + QStringLiteral("): it was set aside as ") + QFileInfo(aside).fileName() +
                QStringLiteral(", and a new journal begins"));
}

void JournalKeeper::scheduleRetry(int milliseconds)
{
    if (!retryTimer->isActive() || retryTimer->remainingTime() > milliseconds)
        retryTimer->start(milliseconds);
}

void JournalKeeper::announce(const QList<Journal::Record> &records)
{
    const int unsent = int(std::count_if(records.cbegin(), records.cend(), [](const auto &record) {
        return record.state == Journal::State::Unsent;
    }));
    emit appended(records.size(), unsent);
}

QString JournalKeeper::newestEventMessage()
{
    return newestEvent.isEmpty() ? journal.newestEventMessage() : newestEvent;
}

bool JournalKeeper::hasEvents()
{
    return !newestEvent.isEmpty() || journal.hasEvents();
}

qint64 JournalKeeper::countUnsent()
{
    return journal.countUnsent() + pending->countUnsent();
}

void JournalKeeper::finish()
{
    retryTimer->stop();
    if (!pending->isEmpty() && journal.isOpen())
        appendWaiting();
    if (!pending->isEmpty())
        logs->trace(QString::number(pending->size()) +
                    QStringLiteral(" rows that neither the journal nor the database took are "
                                   "lost as the program ends"));
}
