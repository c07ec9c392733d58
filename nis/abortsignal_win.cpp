#include "abortsignal.h"

#include <QAbstractSocket>
#include <QDeadlineTimer>
#include <QMutexLocker>
#include <QTimer>

namespace {

// Windows has no pipe to wait on beside a socket: the waits look at the flag
// this often.
constexpr int sliceMs = 50;

int nextSlice(const QDeadlineTimer &deadline)
{
    return int(qBound<qint64>(0, deadline.remainingTime(), sliceMs));
}

} // namespace

AbortSignal::AbortSignal() = default;

AbortSignal::~AbortSignal() = default;

void AbortSignal::set()
{
    QMutexLocker locker(&changeMutex);
    flag.store(true, std::memory_order_release);
}

void AbortSignal::clear()
{
    QMutexLocker locker(&changeMutex);
    flag.store(false, std::memory_order_release);
}

AbortSignal::Wait AbortSignal::waitOn(QAbstractSocket &socket, Direction direction, int msecs) const
{
    const QDeadlineTimer deadline(msecs);
    while (!isSet()) {
        const bool done = direction == Direction::Read
                ? socket.waitForReadyRead(nextSlice(deadline))
                : socket.waitForBytesWritten(nextSlice(deadline));
        if (done || socket.state() != QAbstractSocket::ConnectedState)
            return Wait::Ready;
        if (deadline.hasExpired())
            return Wait::TimedOut;
    }
    return Wait::Aborted;
}

void AbortSignal::notifyWhenSet(QObject *context, const std::function<void()> &onSet) const
{
    auto *timer = new QTimer(context);
    QObject::connect(timer, &QTimer::timeout, context, [this, onSet] {
        if (isSet())
            onSet();
    });
    timer->start(sliceMs);
}
