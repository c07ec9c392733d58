#include "abortsignal.h"

#include <QAbstractSocket>
#include <QDeadlineTimer>
#include <QMutexLocker>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

// Without a pipe (no descriptors left), waits look at the flag this often.
constexpr int fallbackSliceMs = 50;

void setFlags(int descriptor)
{
    ::fcntl(descriptor, F_SETFD, FD_CLOEXEC);
    ::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) | O_NONBLOCK);
}

} // namespace

AbortSignal::AbortSignal()
{
    int ends[2];
    if (::pipe(ends) == 0) {
        setFlags(ends[0]);
        setFlags(ends[1]);
        wakeRead = ends[0];
        wakeWrite = ends[1];
    }
}

AbortSignal::~AbortSignal()
{
    if (wakeRead >= 0)
        ::close(wakeRead);
    if (wakeWrite >= 0)
        ::close(wakeWrite);
}

void AbortSignal::set()
{
    QMutexLocker locker(&changeMutex);
    if (flag.exchange(true, std::memory_order_acq_rel) || wakeWrite < 0)
        return;
    const char byte = 1;
    while (::write(wakeWrite, &byte, 1) < 0 && errno == EINTR) { }
}

void AbortSignal::clear()
{
    QMutexLocker locker(&changeMutex);
    if (!isSet())
        return;
    // Emptied before the flag falls, so that a wait never finds the pipe
    // readable with the flag down for longer than this takes.
    char byte;
    if (wakeRead >= 0)
        while (::read(wakeRead, &byte, 1) < 0 && errno == EINTR) { }
    flag.store(false, std::memory_order_release);
}

AbortSignal::Wait AbortSignal::waitOn(QAbstractSocket &socket, Direction direction, int msecs) const
{
    const QDeadlineTimer deadline(msecs);
    const short event = direction == Direction::Read ? POLLIN : POLLOUT;
    for (;;) {
        if (isSet())
            return Wait::Aborted;
        pollfd descriptors[2] = {{int(socket.socketDescriptor()), event, 0}, {wakeRead, POLLIN, 0}};
        qint64 timeout = deadline.remainingTime();
        if (wakeRead < 0)
            timeout = qBound<qint64>(0, timeout, fallbackSliceMs);
        const int ready = ::poll(descriptors, wakeRead < 0 ? 1 : 2, int(timeout));
        if (ready < 0 && errno != EINTR)
            return Wait::Ready; // the socket's own read or write reports the fault
        if (ready > 0 && descriptors[0].revents != 0) {
            // The socket takes in (or writes out) what is there now; a closed
            // connection shows in its state.
            if (direction == Direction::Read)
                socket.waitForReadyRead(0);
            else
                socket.waitForBytesWritten(0);
            return Wait::Ready;
        }
        if (deadline.hasExpired())
            return isSet() ? Wait::Aborted : Wait::TimedOut;
    }
}

void AbortSignal::notifyWhenSet(QObject *context, const std::function<void()> &onSet) const
{
    const auto whenSet = [this, onSet] {
        if (isSet())
            onSet();
    };
    if (wakeRead >= 0) {
        auto *notifier = new QSocketNotifier(wakeRead, QSocketNotifier::Read, context);
        QObject::connect(notifier, &QSocketNotifier::activated, context, whenSet);
    } else {
        auto *timer = new QTimer(context);
        QObject::connect(timer, &QTimer::timeout, context, whenSet);
        timer->start(fallbackSliceMs);
    }
}
