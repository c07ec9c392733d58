#pragma once

#include "abortsignal.h"
#include "statusrecord.h"

#include <QMutex>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QWaitCondition>

#include <atomic>

class Logs;
class Registry;
class QTcpSocket;
class NisChannel;

// The program's client of apcupsd's Network Information Server. While it runs,
// its thread keeps one connection for "status" and one for "events" to the
// configured host and port, asks each about once a second, keeps the last
// valid status record and event list, and announces each stored reply with a
// signal. Other threads read the stored data through statusValue() and
// eventLines(); the data outlives every stop and start of the thread.
class COMThrd final : public QThread
{
    Q_OBJECT
    Q_DISABLE_COPY(COMThrd)

public:
    // The process-wide client, created on first use with the process-wide
    // settings store and trace log.
    static COMThrd *instance();

    // Reads "upshost" and "upsport" (writing the defaults "localhost" and
    // "3551" when they are missing). Tests pass their own store and log.
    COMThrd(Registry *registry, Logs *logs);
    // Stops the thread (cutting short what it waits for) before going away.
    ~COMThrd() override;

    // The value of key in the stored status record (the first entry with that
    // exact key), or the empty string. Safe from any thread.
    QString statusValue(const QString &key) const;
    // A copy of the stored event list, oldest line first. Safe from any thread.
    QStringList eventLines() const;

    // Stores a changed host or port in the settings and has the loop reconnect
    // at its next cycle. Nothing happens when both equal the stored settings.
    // GUI thread only (it writes the settings store).
    void setConnection(const QString &host, const QString &port);

    // Asks the loop to end at the top of its next cycle and returns at once.
    // The cycle in progress is finished first, its signals included.
    void stop();

    // Starts polling. When the thread still runs because a stop has not taken
    // effect yet, the stop is withdrawn and the loop goes on; when the loop has
    // already decided to end, its last steps (which do not wait on the network)
    // are awaited and a new run is started. Either way the thread polls
    // afterwards. Deliberately hides QThread::start(); call it through COMThrd.
    void start(QThread::Priority priority = QThread::InheritPriority);

    // Ends polling now: cuts short the wait or sleep in progress, sends,
    // stores and announces nothing more, and waits up to msecs for the thread
    // to end. Returns true when the thread has ended. The stored data and its
    // lock stay usable whatever happens.
    bool stopAndWait(int msecs);

    // The host and port the loop connects to from its next cycle on.
    QString host() const;
    quint16 port() const;

    // An events reply whose lines equal the last announced ones is not
    // announced: the stored list already holds them, and there is nothing new
    // to show or to write. A receiver that took only part of the announced list
    // calls this to have the next events reply announced all the same. Safe
    // from any thread.
    void announceNextEvents();

signals:
    void StatusDataReady();
    void EventsDataReady();

protected:
    void run() override;

private:
    struct Endpoint
    {
        QString host;
        int port = 0;
        // host:port as the trace shows it.
        QString text() const;
    };

    Endpoint endpoint() const;
    bool leaveRequested();
    void pause(int msecs);
    void wakeUp();
    bool statusStored() const;
    struct Exchange;
    void exchange(Exchange &with, const Endpoint &target);

    QString upsHost;
    int upsPort = 0;
    Registry *registry;
    Logs *logs;
    mutable QMutex dataMutex;
    StatusRecord statusData;
    QStringList eventData;
    std::atomic<bool> connectionEdited{false};
    std::atomic<bool> nextEventsAnnounced{false};
    std::atomic<bool> stopRequested{false};

    // Guards upsHost and upsPort, written on the GUI thread and read by the loop.
    mutable QMutex connectionMutex;
    // Set with stopRequested by stopAndWait(): every wait is cut short.
    AbortSignal abortRequested;
    // Orders start() against the loop's decision to end: loopActive is true
    // from start() until the loop has seen the stop request and decided to end.
    QMutex runMutex;
    bool loopActive = false;
    // The pauses between requests wait on this, so that an abort ends them.
    QMutex pauseMutex;
    QWaitCondition pauseWake;
};
