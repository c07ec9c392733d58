#pragma once

#include <QMutex>
#include <QtGlobal>

#include <atomic>
#include <functional>

class QAbstractSocket;
class QObject;

// A request, made from any thread, to abandon what a thread waits for on its
// sockets. The waits below end as soon as the signal is set: outside Windows
// the socket is waited on together with a pipe that set() writes to, so that
// nothing wakes up only to look at a flag; on Windows the waits are taken in
// short slices.
class AbortSignal final
{
    Q_DISABLE_COPY(AbortSignal)

public:
    enum class Direction {
        Read,  // until new bytes have been taken in, or the peer has closed
        Write, // until the socket's buffered bytes have been handed to the system
    };
    enum class Wait { Ready, Aborted, TimedOut };

    AbortSignal();
    ~AbortSignal();

    void set();
    void clear();
    bool isSet() const { return flag.load(std::memory_order_acquire); }

    // One wait of up to msecs on socket, used without an event loop: Ready
    // once the socket has read or written something (or found its connection
    // gone, which its state then shows), Aborted when the signal is or becomes
    // set, TimedOut otherwise.
    Wait waitOn(QAbstractSocket &socket, Direction direction, int msecs) const;

    // Calls onSet from the event loop of context's thread once the signal is
    // set (at the loop's first turn when it is set already), until context is
    // destroyed.
    void notifyWhenSet(QObject *context, const std::function<void()> &onSet) const;

private:
    std::atomic<bool> flag{false};
    // Orders set() and clear(), so that the pipe holds a byte exactly while
    // the flag is set.
    QMutex changeMutex;
    // The pipe's ends; -1 on Windows, or when the pipe could not be made.
    int wakeRead = -1;
    int wakeWrite = -1;
};
