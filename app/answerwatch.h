#pragma once

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <atomic>
#include <memory>

class COMThrd;

// Tells whether apcupsd still answers while monitoring runs: the network
// client's data goes stale when no status reply has been stored for three of
// its poll cycles in a row, and fresh again with the next reply. A stopped
// monitoring run is never stale; nothing is asked then.
//
// Replies are timed where the client stores them, on its own thread, so a
// window that is busy for a moment does not mistake replies still waiting in
// its event queue for silence.
class AnswerWatch final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(AnswerWatch)

public:
    // Three poll cycles of the network client (two pauses of 550 ms each).
    static constexpr int staleAfterMs = 3 * 1100;

    // Watches client's StatusDataReady(); connect the window's own slots to
    // that signal first, so that they have run when answeredAgain() comes.
    AnswerWatch(COMThrd *client, QObject *parent);

    // Monitoring runs from now on: the client polls.
    void monitoringStarted();
    // Monitoring stops (or was asked to): no reply is expected until the next
    // start. A stale state stays until a reply ends it.
    void monitoringStopped();

    bool isStopped() const { return stopped; }
    bool isStale() const { return stale; }
    // When apcupsd last answered, or, when it has not answered since the
    // program started, when monitoring started.
    QDateTime silentSince() const;

signals:
    void wentStale(const QDateTime &since);
    void answeredAgain();

private:
    void replyDelivered();
    void check();
    qint64 silentForMs() const;

    // When the client last stored a reply, written on its thread. Shared with
    // that thread's slot, which may still run while this object goes away.
    struct Replies
    {
        QElapsedTimer clock;
        std::atomic<qint64> lastMs{-1}; // on clock; -1: none yet
        std::atomic<qint64> lastEpochMs{0};
    };
    std::shared_ptr<Replies> replies = std::make_shared<Replies>();
    qint64 runStartMs = 0;
    QDateTime runStart;
    QTimer deadline;
    bool monitoring = false;
    bool stopped = false;
    bool stale = false;
};
