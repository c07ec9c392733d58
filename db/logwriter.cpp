#include "logwriter.h"

#include "logs.h"
#include "pendingrows.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutexLocker>
#include <QThread>
#include <QTimer>
#include <QUuid>

#include <limits>

namespace {

// Rows sent per turn of the writer's event loop, so that new settings are
// taken up during a long backlog.
constexpr int rowsPerTurn = 50;
// A journal held by another program is waited for briefly: marks that cannot
// be written wait in memory, and rows go on reaching the server meanwhile.
constexpr int journalBusyTimeoutMs = 1000;
// Confirmed rows of a kind after which the watermark moves up, which keeps
// the search for a row in doubt short.
constexpr int rowsPerWatermark = 1000;
// How long, in steps of 100 ms, to wait for the session of a row in doubt to
// end before trying again later.
constexpr int sessionEndChecks = 20;
constexpr int pruneIntervalMs = 3600 * 1000;
constexpr int pruneBatch = 1000;
constexpr int rowsPerCheckpoint = 1000;
// How much faster than the program's own running time the prune horizon may
// catch up with the wall clock: a day per hour. A clock set wrong ahead can
// prune no more than that before it is put right; time the program did not
// run is caught up within hours.
constexpr qint64 horizonPace = 24;

QString watermarkKey(Journal::Kind kind)
{
    return QStringLiteral("watermark.") + Journal::tableName(kind);
}

} // namespace

LogWriter::LogWriter(Logs *logsInstance, const QString &path, const QString &prefix,
                     std::shared_ptr<PendingRows> pendingRows, AnswerHandler handler)
    : logs(logsInstance)
    , journalPath(path)
    , connectionPrefix(prefix)
    , answers(std::move(handler))
    , pending(std::move(pendingRows))
{ }

LogWriter::~LogWriter() = default;

ServerConnection::Table LogWriter::tableOf(Kind kind)
{
    return kind == Kind::Measurement ? Table::Measurements : Table::Events;
}

QString LogWriter::errorPrefix(Kind kind)
{
    return kind == Kind::Measurement ? QStringLiteral("Write Measurement error : ")
                                     : QStringLiteral("Write Event error : ");
}

QString LogWriter::serverLastEventMessage() const
{
    QMutexLocker locker(&fallbackMutex);
    return fallbackMessage;
}

void LogWriter::setBackoff(int firstMs, int longestMs)
{
    firstBackoffMs = qMax(1, firstMs);
    longestBackoffMs = qMax(firstBackoffMs, longestMs);
}

void LogWriter::start()
{
    journal = std::make_unique<Journal>(journalPath, connectionPrefix + QStringLiteral("-journal"));
    server = std::make_unique<ServerConnection>(logs, connectionPrefix + QStringLiteral("-server"));

    retryTimer = new QTimer(this);
    retryTimer->setSingleShot(true);
    connect(retryTimer, &QTimer::timeout, this, &LogWriter::retry);
    pruneTimer = new QTimer(this);
    connect(pruneTimer, &QTimer::timeout, this, &LogWriter::hourly);
    unblockTimer = new QTimer(this);
    unblockTimer->setSingleShot(true);
    unblockTimer->setTimerType(Qt::PreciseTimer);
    connect(unblockTimer, &QTimer::timeout, this, &LogWriter::schedulePump);
    clock.start();
    pruneTimer->start(pruneIntervalMs);
    // Where the journal cannot be opened, the recording side says why.
    openJournal();
}

void LogWriter::openJournal()
{
    QString error;
    if (!journal->open(Journal::Mode::Background, &error))
        return;
    journal->setBusyTimeout(journalBusyTimeoutMs);
    horizonAtOpen = journal->pruneHorizon();
    sinceOpen.start();
    journalSource = journal->deliverySource();
    // A journal that takes no writes: the rows get this run's name, which no
    // other program shares.
    if (journalSource.isEmpty())
        journalSource = QStringLiteral("run-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
    for (const Kind kind : {Kind::Measurement, Kind::Event}) {
        answeredUpTo[index(kind)] = 0;
        unmarked[index(kind)].clear();
    }
    loadWatermarks();
    // The program may have ended while a row was out: the first waiting row of
    // each kind is looked for before it is sent.
    for (const Kind kind : {Kind::Measurement, Kind::Event})
        doubtful[index(kind)] = watermarks[index(kind)].isValid();
    unsent = journal->countUnsent();
    backlogAtOpen = backlogAtOpen || unsent > 0;
    enforceLimit();
}

void LogWriter::releaseJournal()
{
    if (journal)
        journal->close();
}

void LogWriter::reopenJournal()
{
    if (journal && !journal->isOpen())
        openJournal();
    if (connected)
        schedulePump();
}

void LogWriter::pendingRowsWaiting()
{
    if (connected)
        schedulePump();
}

void LogWriter::finish()
{
    if (journal && journal->isOpen())
        storePruneHorizon(Journal::now());
    delete retryTimer;
    retryTimer = nullptr;
    delete pruneTimer;
    pruneTimer = nullptr;
    delete unblockTimer;
    unblockTimer = nullptr;
    connected = false;
    server.reset();
    journal.reset();
}

void LogWriter::applySettings(const ConnectionSettings &newSettings, quint64 request)
{
    if (!server)
        return;
    retryTimer->stop();
    backoffMs = 0;
    writeFailureTraced = false;
    outageOutlivedReconnect = false;
    if (server->isConnected())
        server->closeConnection();
    connected = false;
    settings = newSettings;
    configured = settings.isConfigured();

    OpenAnswer answer;
    answer.request = request;
    answer.configured = configured;
    if (!configured) {
        logs->trace(QStringLiteral("No database is set: rows are kept in the local journal until "
                                   "one is set on the Database tab"));
        answers(answer);
        pruneOnce();
        return;
    }

    QString error;
    answer.result = server->open(settings, &error);
    answer.error = error;
    // Rows the server refused are tried again with the settings saved anew.
    retryRefusedRows();
    if (answer.result == ServerConnection::OpenResult::Connected) {
        lastTracedOpenError.clear();
        readServerLastEvent();
        connected = true;
        answers(answer);
        connectionOpened();
    } else {
        lastTracedOpenError = error;
        outage = true;
        answers(answer);
        scheduleRetry();
    }
    pruneOnce();
}

void LogWriter::pruneOnce()
{
    // After the first answer, which the window may be waiting for.
    if (prunedOnce)
        return;
    prunedOnce = true;
    prune();
}

void LogWriter::retry()
{
    if (!configured || connected)
        return;
    QString error;
    const int records = outageOutlivedReconnect ? 0 : ServerConnection::TraceSuccess;
    if (server->open(settings, &error, records) == ServerConnection::OpenResult::Connected) {
        lastTracedOpenError.clear();
        readServerLastEvent();
        connected = true;
        connectionOpened();
        return;
    }
    if (error != lastTracedOpenError) {
        logs->trace(QStringLiteral("Can not connect to ") + settings.record() +
                    QStringLiteral(" Error: ") + error);
        lastTracedOpenError = error;
    }
    scheduleRetry();
}

void LogWriter::scheduleRetry()
{
    backoffMs = backoffMs == 0 ? firstBackoffMs : qMin(backoffMs * 2, longestBackoffMs);
    retryTimer->start(backoffMs);
}

void LogWriter::readServerLastEvent()
{
    // The event walk starts after the newest message stored anywhere: the
    // journal's once it has had an event row, the server's before.
    if (journal->hasEvents())
        return;
    const QString message = server->lastEventMessage();
    QMutexLocker locker(&fallbackMutex);
    fallbackMessage = message;
}

void LogWriter::connectionOpened()
{
    // The back-off goes on growing until a row is stored: a server that
    // takes the login but not the rows is not asked again every second.
    sentSinceOpen = 0;
    for (const Kind kind : {Kind::Measurement, Kind::Event}) {
        const QString reason = server->unkeyedReason(tableOf(kind));
        if (!reason.isEmpty() && reason != tracedUnkeyed[index(kind)])
            logs->trace(QStringLiteral("Rows of ") + Journal::tableName(kind) +
                        QStringLiteral(" whose connection broke are looked for by their "
                                       "values: ") +
                        reason);
        tracedUnkeyed[index(kind)] = reason;
    }
    backlogAtOpen = backlogAtOpen || unsent > 0;
    if ((doubtful[0] || doubtful[1]) && !earlierSessionEnded()) {
        lostWhileSettling();
        return;
    }
    for (const Kind kind : {Kind::Measurement, Kind::Event}) {
        if (doubtful[index(kind)] && !settle(kind)) {
            lostWhileSettling();
            return;
        }
    }
    for (const Kind kind : {Kind::Measurement, Kind::Event}) {
        if (!refreshWatermark(kind)) {
            lostWhileSettling();
            return;
        }
    }
    schedulePump();
}

bool LogWriter::earlierSessionEnded()
{
    // The watermarks of both kinds carry the session they were taken in.
    const Watermark &mark = watermarks[doubtful[0] ? 0 : 1];
    if (!mark.isValid() || mark.target != settings.target() || mark.session.id < 0)
        return true;
    // A statement that the server received before the connection broke may
    // still be carried out while its session lasts; the session ends once the
    // server has read everything that was sent on it.
    for (int check = 0; check < sessionEndChecks; ++check) {
        const std::optional<bool> exists = server->sessionExists(mark.session);
        if (!exists)
            return false;
        if (!*exists)
            return true;
        QThread::msleep(100);
    }
    return false;
}

bool LogWriter::settle(Kind kind)
{
    // With its key, the row is simply sent again: the key decides.
    if (server->deliveryKeyed(tableOf(kind))) {
        doubtful[index(kind)] = false;
        return true;
    }
    const Watermark &mark = watermarks[index(kind)];
    const std::optional<Journal::Row> row = journal->firstUnsent(kind, answeredUpTo[index(kind)]);
    // Rows sent to another database are not looked for in this one.
    if (!row || !mark.isValid() || mark.target != settings.target()) {
        doubtful[index(kind)] = false;
        return true;
    }
    const Table table = tableOf(kind);
    const QStringList stored = server->storedForm(table, row->values);
    // Rows with the same values may have been sent since the watermark; the
    // row is in the table when the table holds more of them than were sent.
    int sentAlike = 0;
    for (const Journal::Row &sent : journal->sentBetween(kind, mark.journalId, row->id)) {
        if (server->storedForm(table, sent.values) == stored)
            ++sentAlike;
    }
    const std::optional<int> inTable = server->countStored(table, stored, mark.serverMaxId);
    if (!inTable) {
        if (!server->answers())
            return false;
        // The server answers but lets this account not read the table: the
        // row is sent again.
        cannotLookFor(server->lastQueryError());
        doubtful[index(kind)] = false;
        return true;
    }
    if (*inTable > sentAlike && journal->setState(kind, row->id, Journal::State::Sent)) {
        --unsent;
        logs->trace((kind == Kind::Measurement ? QStringLiteral("Measurement")
                                               : QStringLiteral("Event")) +
                    QStringLiteral(" row stored before the connection was lost, not sent again"));
    }
    doubtful[index(kind)] = false;
    return true;
}

bool LogWriter::refreshWatermark(Kind kind)
{
    const std::optional<qint64> maxId = server->maxId(tableOf(kind));
    const std::optional<ServerConnection::Session> session = server->session();
    if (!maxId || !session) {
        if (!server->answers())
            return false;
        cannotLookFor(server->lastQueryError());
        return true;
    }
    Watermark &mark = watermarks[index(kind)];
    mark.target = settings.target();
    mark.serverMaxId = *maxId;
    mark.journalId = journal->settledUpTo(kind);
    mark.session = *session;
    confirmedSinceWatermark[index(kind)] = 0;
    storeWatermark(kind);
    return true;
}

void LogWriter::loadWatermarks()
{
    for (const Kind kind : {Kind::Measurement, Kind::Event}) {
        const QJsonObject object =
                QJsonDocument::fromJson(journal->meta(watermarkKey(kind)).toUtf8()).object();
        Watermark mark;
        if (!object.isEmpty()) {
            mark.target = object.value(QStringLiteral("target")).toString();
            mark.serverMaxId = qint64(object.value(QStringLiteral("serverMaxId")).toDouble(-1));
            mark.journalId = qint64(object.value(QStringLiteral("journalId")).toDouble());
            mark.session.id = qint64(object.value(QStringLiteral("session")).toDouble(-1));
            mark.session.serverStart =
                    qint64(object.value(QStringLiteral("serverStart")).toDouble(-1));
            mark.session.node = object.value(QStringLiteral("node")).toString();
        }
        watermarks[index(kind)] = mark;
    }
}

void LogWriter::storeWatermark(Kind kind)
{
    const Watermark &mark = watermarks[index(kind)];
    QJsonObject object{
            {QStringLiteral("target"), mark.target},
            {QStringLiteral("serverMaxId"), double(mark.serverMaxId)},
            {QStringLiteral("journalId"), double(mark.journalId)},
            {QStringLiteral("session"), double(mark.session.id)},
            {QStringLiteral("serverStart"), double(mark.session.serverStart)},
    };
    if (!mark.session.node.isEmpty())
        object.insert(QStringLiteral("node"), mark.session.node);
    journal->setMeta(watermarkKey(kind),
                     QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
}

void LogWriter::cannotLookFor(const QString &error)
{
    if (!cannotLookForTraced)
        logs->trace(QStringLiteral("Rows whose connection broke cannot be looked for on the "
                                   "server, they are sent again: ") +
                    error);
    cannotLookForTraced = true;
}

void LogWriter::lostWhileSettling()
{
    server->drop();
    connected = false;
    outage = true;
    scheduleRetry();
}

void LogWriter::schedulePump()
{
    if (pumpScheduled)
        return;
    pumpScheduled = true;
    QMetaObject::invokeMethod(this, &LogWriter::pump, Qt::QueuedConnection);
}

void LogWriter::pump()
{
    pumpScheduled = false;
    if (!connected || !journal)
        return;
    markUnmarked();
    for (int sent = 0; sent < rowsPerTurn; ++sent) {
        const bool open[2] = {!isBlocked(Kind::Measurement), !isBlocked(Kind::Event)};
        const std::optional<Journal::Row> measurement =
                open[0] ? journal->firstUnsent(Kind::Measurement, answeredUpTo[0]) : std::nullopt;
        const std::optional<Journal::Row> event =
                open[1] ? journal->firstUnsent(Kind::Event, answeredUpTo[1]) : std::nullopt;
        if (!measurement && !event) {
            // The journal's rows are older than any that wait in memory.
            switch (sendFromMemory(open)) {
            case Turn::Sent:
                continue;
            case Turn::Idle:
                // A kind whose table refuses waits for its own retry (a
                // timer may wake this a little before it is due).
                if (open[0] && open[1])
                    backlogSent();
                else
                    armUnblockTimer();
                return;
            case Turn::Stopped:
                return;
            }
        }
        // The two kinds go to two tables; between them, the older row first.
        const bool takeEvent = event && (!measurement || event->timeMs < measurement->timeMs);
        const Kind kind = takeEvent ? Kind::Event : Kind::Measurement;
        const Journal::Row &row = takeEvent ? *event : *measurement;

        // A confirmed row whose mark did not reach the journal is looked for first.
        if (doubtful[index(kind)]) {
            if (!settle(kind)) {
                connectionFailed(kind, QStringLiteral("Database connection is not open"), false);
                return;
            }
            continue;
        }
        if (confirmedSinceWatermark[index(kind)] >= rowsPerWatermark && !refreshWatermark(kind)) {
            connectionFailed(kind, QStringLiteral("Database connection is not open"), false);
            return;
        }
        const ServerConnection::DeliveryKey key{journalSource, tableOf(kind), row.id};
        QString error;
        switch (const ServerConnection::Outcome outcome =
                        server->insert(tableOf(kind), row.values, &error, &key)) {
        case ServerConnection::Outcome::Stored:
        case ServerConnection::Outcome::AlreadyStored:
            markAnswered(kind, row.id, Journal::State::Sent);
            rowStored(kind, outcome);
            ++confirmedSinceWatermark[index(kind)];
            break;
        case ServerConnection::Outcome::Refused:
            markAnswered(kind, row.id, Journal::State::Refused);
            traceRefusal(kind, error);
            break;
        case ServerConnection::Outcome::Failed:
            blockKind(kind, error);
            break;
        case ServerConnection::Outcome::Lost:
            connectionFailed(kind, error, true);
            return;
        case ServerConnection::Outcome::NotConnected:
            return;
        }
    }
    schedulePump();
}

bool LogWriter::isBlocked(Kind kind) const
{
    return blockedUntil[index(kind)] > clock.elapsed();
}

void LogWriter::blockKind(Kind kind, const QString &error)
{
    // The table refuses the row for another reason than its values (a
    // missing column, a privilege): the other kind goes on, and this one is
    // tried again after its own back-off.
    int &wait = kindBackoffMs[index(kind)];
    wait = wait == 0 ? firstBackoffMs : qMin(wait * 2, longestBackoffMs);
    blockedUntil[index(kind)] = clock.elapsed() + wait;
    if (error != kindFailure[index(kind)])
        logs->trace(errorPrefix(kind) + error);
    kindFailure[index(kind)] = error;
    outage = true;
    armUnblockTimer();
}

void LogWriter::armUnblockTimer()
{
    const qint64 now = clock.elapsed();
    qint64 soonest = -1;
    for (const qint64 until : blockedUntil) {
        if (until > now && (soonest < 0 || until < soonest))
            soonest = until;
    }
    if (soonest >= 0)
        unblockTimer->start(int(soonest - now));
}

void LogWriter::rowStored(Kind kind, ServerConnection::Outcome outcome)
{
    backoffMs = 0;
    kindBackoffMs[index(kind)] = 0;
    kindFailure[index(kind)].clear();
    ++sentSinceOpen;
    if (outcome == ServerConnection::Outcome::AlreadyStored)
        logs->trace((kind == Kind::Measurement ? QStringLiteral("Measurement")
                                               : QStringLiteral("Event")) +
                    QStringLiteral(" row stored before the connection was lost, not sent again"));
}

void LogWriter::traceRefusal(Kind kind, const QString &error)
{
    // Once per kind of refusal, not once per row (and again at each retry).
    const QString record = errorPrefix(kind) + error;
    if (tracedRefusals.contains(record))
        return;
    tracedRefusals.insert(record);
    logs->trace(record);
}

void LogWriter::retryRefusedRows()
{
    // Marks still to be written keep their rows as they are meanwhile.
    if (!journal || !journal->isOpen() || !unmarked[0].isEmpty() || !unmarked[1].isEmpty())
        return;
    const qint64 refused = journal->retryRefused();
    if (refused == 0)
        return;
    for (qint64 &upTo : answeredUpTo)
        upTo = 0;
    unsent += refused;
    tracedRefusals.clear();
    if (connected)
        schedulePump();
}

void LogWriter::markAnswered(Kind kind, qint64 id, Journal::State state)
{
    answeredUpTo[index(kind)] = id;
    --unsent;
    if (!unmarked[index(kind)].isEmpty() || !journal->setState(kind, id, state))
        unmarked[index(kind)].append({id, state});
}

void LogWriter::markUnmarked()
{
    for (const Kind kind : {Kind::Measurement, Kind::Event}) {
        QList<QPair<qint64, Journal::State>> &marks = unmarked[index(kind)];
        while (!marks.isEmpty() &&
               journal->setState(kind, marks.first().first, marks.first().second))
            marks.removeFirst();
    }
}

LogWriter::Turn LogWriter::sendFromMemory(const bool open[2])
{
    const std::optional<PendingRows::Row> row = pending->takeForServer(open);
    if (!row)
        return Turn::Idle;
    const Kind kind = row->record.kind;
    const ServerConnection::DeliveryKey key{memorySource(), tableOf(kind), qint64(row->sequence)};
    QString error;
    switch (const ServerConnection::Outcome outcome =
                    server->insert(tableOf(kind), row->record.values, &error, &key)) {
    case ServerConnection::Outcome::Stored:
    case ServerConnection::Outcome::AlreadyStored:
        pending->finished(row->sequence, Journal::State::Sent);
        rowStored(kind, outcome);
        return Turn::Sent;
    case ServerConnection::Outcome::Refused:
        pending->finished(row->sequence, Journal::State::Refused);
        traceRefusal(kind, error);
        return Turn::Sent;
    case ServerConnection::Outcome::Failed:
        pending->finished(row->sequence, std::nullopt);
        blockKind(kind, error);
        return Turn::Sent;
    case ServerConnection::Outcome::Lost:
        // Sent again after the reconnect, where its key decides. Without a
        // key, a row in memory cannot be looked for by its place in the journal.
        pending->finished(row->sequence, std::nullopt);
        connectionFailed(kind, error, server->deliveryKeyed(tableOf(kind)));
        return Turn::Stopped;
    case ServerConnection::Outcome::NotConnected:
        pending->finished(row->sequence, std::nullopt);
        return Turn::Stopped;
    }
    return Turn::Stopped;
}

QString LogWriter::memorySource()
{
    // Rows that never were in the journal have numbers of this run: a name
    // of their own, under the journal's so that its keys are pruned with them.
    if (memoryRun.isEmpty())
        memoryRun = QUuid::createUuid().toString(QUuid::WithoutBraces).left(8);
    return (journalSource.isEmpty() ? QStringLiteral("memory") : journalSource) +
            QStringLiteral("/memory-") + memoryRun;
}

void LogWriter::connectionFailed(Kind kind, const QString &error, bool rowInDoubt)
{
    if (rowInDoubt)
        doubtful[index(kind)] = true;
    server->drop();
    connected = false;
    // Once per outage, not once per row; and a server that keeps failing
    // after each reconnect does not leave a record per attempt either.
    if (!writeFailureTraced)
        logs->trace(errorPrefix(kind) + error);
    else
        outageOutlivedReconnect = true;
    writeFailureTraced = true;
    outage = true;
    scheduleRetry();
}

void LogWriter::backlogSent()
{
    backoffMs = 0;
    // Nothing waited: "Connected to" has said all there is to say.
    if ((outage || backlogAtOpen) && sentSinceOpen > 0)
        logs->trace(QStringLiteral("Database answers again: ") + QString::number(sentSinceOpen) +
                    QStringLiteral(" rows from the journal sent"));
    outage = false;
    writeFailureTraced = false;
    outageOutlivedReconnect = false;
    backlogAtOpen = false;
    sentSinceOpen = 0;
}

void LogWriter::rowsAppended(int total, int waiting)
{
    if (!journal)
        return;
    unsent += waiting;
    enforceLimit();
    appendsSinceCheckpoint += total;
    if (appendsSinceCheckpoint >= rowsPerCheckpoint) {
        appendsSinceCheckpoint = 0;
        journal->checkpoint();
    }
    if (connected && waiting > 0)
        schedulePump();
}

void LogWriter::enforceLimit()
{
    if (unsent <= unsentLimit)
        return;
    // A little below the limit, so that a long outage drops rows in a few
    // bursts rather than one at every new row.
    const qint64 excess = unsent - unsentLimit + qMax<qint64>(1, unsentLimit / 100);
    const qint64 dropped = journal->dropOldestUnsentMeasurements(excess);
    unsent -= dropped;
    if (dropped > 0)
        logs->trace(QStringLiteral("Journal holds more than ") + QString::number(unsentLimit) +
                    QStringLiteral(" rows waiting to be sent: the ") + QString::number(dropped) +
                    QStringLiteral(" oldest waiting measurement rows were dropped"));
}

qint64 LogWriter::pruneHorizon(qint64 wallNow) const
{
    // Never behind where it stood, never ahead of the wall clock, and ahead
    // of where it stood by at most horizonPace times the time this journal
    // has been open.
    return qMax(horizonAtOpen, qMin(wallNow, horizonAtOpen + horizonPace * sinceOpen.elapsed()));
}

void LogWriter::storePruneHorizon(qint64 wallNow)
{
    journal->setMeta(Journal::pruneHorizonKey(), QString::number(pruneHorizon(wallNow)));
}

void LogWriter::prune()
{
    if (!journal || !journal->isOpen())
        return;
    // By the rows' own time and a clock that did not jump: rows older than
    // the retention before the newest row, and before the horizon.
    const qint64 wallNow = Journal::now();
    const std::optional<qint64> newest = journal->newestTime();
    storePruneHorizon(wallNow);
    if (!newest)
        return;
    const qint64 cutoff = qMin(pruneHorizon(wallNow), *newest) - Journal::retentionMs;
    qint64 removed = 0;
    for (const Kind kind : {Kind::Measurement, Kind::Event}) {
        // Sent rows above the watermark may still be needed to settle a row in doubt.
        const Watermark &mark = watermarks[index(kind)];
        const qint64 keepSentAbove =
                mark.isValid() ? mark.journalId : std::numeric_limits<qint64>::max();
        qint64 batch;
        do {
            batch = journal->prune(kind, cutoff, keepSentAbove, pruneBatch);
            removed += batch;
        } while (batch == pruneBatch);
    }
    if (removed > 0) {
        journal->checkpoint();
        logs->trace(QStringLiteral("Journal: ") + QString::number(removed) +
                    QStringLiteral(" rows older than ") + QString::number(Journal::retentionDays) +
                    QStringLiteral(" days removed"));
    }
    if (connected)
        server->pruneDeliveryKeys(journalSource, Journal::retentionDays);
}

void LogWriter::hourly()
{
    prune();
    retryRefusedRows();
}
