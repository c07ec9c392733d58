#include "answerwatch.h"

#include "comthrd.h"

#include <algorithm>

AnswerWatch::AnswerWatch(COMThrd *client, QObject *parent)
    : QObject(parent)
{
    replies->clock.start();
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, this, &AnswerWatch::check);
    connect(
            client, &COMThrd::StatusDataReady, this,
            [replies = replies] {
                replies->lastEpochMs = QDateTime::currentMSecsSinceEpoch();
                replies->lastMs = replies->clock.elapsed();
            },
            Qt::DirectConnection);
    connect(client, &COMThrd::StatusDataReady, this, &AnswerWatch::replyDelivered,
            Qt::QueuedConnection);
}

void AnswerWatch::monitoringStarted()
{
    monitoring = true;
    stopped = false;
    runStartMs = replies->clock.elapsed();
    runStart = QDateTime::currentDateTime();
    deadline.start(staleAfterMs);
}

void AnswerWatch::monitoringStopped()
{
    monitoring = false;
    stopped = true;
    deadline.stop();
}

QDateTime AnswerWatch::silentSince() const
{
    if (replies->lastMs < 0)
        return runStart;
    return QDateTime::fromMSecsSinceEpoch(replies->lastEpochMs);
}

qint64 AnswerWatch::silentForMs() const
{
    return replies->clock.elapsed() - std::max<qint64>(replies->lastMs, runStartMs);
}

void AnswerWatch::replyDelivered()
{
    if (monitoring)
        deadline.start(staleAfterMs);
    if (stale) {
        stale = false;
        emit answeredAgain();
    }
}

void AnswerWatch::check()
{
    if (!monitoring || stale)
        return;
    const qint64 silent = silentForMs();
    if (silent < staleAfterMs) {
        // A reply was stored while this thread was busy; its delivery is on the way.
        deadline.start(int(staleAfterMs - silent));
        return;
    }
    stale = true;
    emit wentStale(silentSince());
}
