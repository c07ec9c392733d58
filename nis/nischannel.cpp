#include "nischannel.h"

#include "quickack.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTcpSocket>
#include <QTimer>

#include <cstring>

namespace {

// Waits are taken in slices of this length so that an abort is seen soon.
constexpr int sliceMs = 50;

int nextSlice(const QDeadlineTimer &deadline)
{
    return int(qBound<qint64>(0, deadline.remainingTime(), sliceMs));
}

} // namespace

NisChannel::NisChannel(QIODevice *ioDevice, const std::atomic<bool> *abort)
    : device(ioDevice)
    , socket(qobject_cast<QAbstractSocket *>(ioDevice))
    , abortFlag(abort)
{ }

bool NisChannel::aborted() const
{
    return abortFlag && abortFlag->load(std::memory_order_relaxed);
}

void NisChannel::beforeRead()
{
    if (quickAck && socket)
        requestQuickAck(socket->socketDescriptor());
}

void NisChannel::waitForData(int msecs)
{
    QDeadlineTimer deadline(msecs);
    if (replyDeadline && replyDeadline->deadline() < deadline.deadline())
        deadline = *replyDeadline;
    if (!socket) {
        device->waitForReadyRead(int(qMax<qint64>(0, deadline.remainingTime())));
        return;
    }
    while (!aborted() && !deadline.hasExpired()) {
        beforeRead();
        if (socket->waitForReadyRead(nextSlice(deadline)))
            return;
        if (socket->state() != QAbstractSocket::ConnectedState)
            return;
    }
}

qint64 NisChannel::readDevice(char *data, qint64 size)
{
    // A socket that the peer has closed is no longer open; reading it would
    // only warn.
    if (!device->isReadable())
        return -1;
    beforeRead();
    return device->read(data, size);
}

void NisChannel::sendRequest(const QByteArray &command)
{
    if (aborted() || !device->isWritable())
        return;
    const char length[2] = {char((command.size() >> 8) & 0xff), char(command.size() & 0xff)};
    if (device->write(length, 2) == 2)
        device->write(command);
    if (!socket)
        return;
    // Whether the request left is not examined here: one that did not shows up
    // as a reply that does not complete.
    QDeadlineTimer deadline(writeWaitMs);
    while (socket->bytesToWrite() > 0 && !aborted() && !deadline.hasExpired() &&
           socket->state() == QAbstractSocket::ConnectedState)
        socket->waitForBytesWritten(nextSlice(deadline));
}

int NisChannel::readRecord(char *data, int capacity)
{
    endRecordSeen = false;
    if (device->bytesAvailable() < 2)
        waitForData(lengthWaitMs);

    unsigned char lengthBytes[2];
    const qint64 lengthRead = readDevice(reinterpret_cast<char *>(lengthBytes), 2);
    if (lengthRead <= 0)
        return int(lengthRead);
    if (lengthRead == 1)
        return -1;

    const int length = (lengthBytes[0] << 8) | lengthBytes[1];
    if (length > capacity)
        return -1;
    if (length == 0) {
        endRecordSeen = true;
        return 0;
    }

    if (device->bytesAvailable() < length)
        waitForData(bodyWaitMs);
    const qint64 bodyRead = readDevice(data, length);
    if (bodyRead <= 0)
        return int(bodyRead);
    return bodyRead == length ? length : -1;
}

NisChannel::Reply NisChannel::readReply()
{
    Reply reply;
    const QDeadlineTimer deadline(replyTimeLimitMs);
    replyDeadline = &deadline;
    qint64 received = 0;
    for (;;) {
        const int length = readRecord(buffer.data(), recordCapacity);
        if (aborted()) {
            reply.end = ReplyEnd::Aborted;
            break;
        }
        if (length <= 0) {
            if (length == 0 && endRecordSeen)
                reply.end = ReplyEnd::Complete;
            else
                reply.end = deadline.hasExpired() ? ReplyEnd::TooSlow : ReplyEnd::ReadError;
            break;
        }
        received += length;
        if (received > replyByteLimit) {
            reply.end = ReplyEnd::TooLarge;
            break;
        }
        const void *zero = std::memchr(buffer.data(), 0, size_t(length));
        const int textLength = zero ? int(static_cast<const char *>(zero) - buffer.data()) : length;
        reply.text += QString::fromUtf8(buffer.data(), textLength);
        if (deadline.hasExpired()) {
            reply.end = ReplyEnd::TooSlow;
            break;
        }
    }
    replyDeadline = nullptr;
    return reply;
}

QString NisChannel::hostForConnect(const QString &host)
{
    if (host.size() >= 2 && host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        return host.mid(1, host.size() - 2);
    return host;
}

bool NisChannel::connectSocket(QTcpSocket &socket, const QString &host, quint16 port, int msecs,
                               const std::atomic<bool> *abortFlag)
{
    // The blocking waitForConnected() gives up the attempt when it times out,
    // so it cannot be taken in slices. A short local event loop can: it also
    // lets a host name lookup be abandoned when an abort comes.
    const QDeadlineTimer deadline(msecs);
    QEventLoop loop;
    QTimer tick;
    tick.setInterval(sliceMs);
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        if (deadline.hasExpired() || (abortFlag && abortFlag->load()))
            loop.quit();
    });
    QObject::connect(&socket, &QAbstractSocket::stateChanged, &loop,
                     [&](QAbstractSocket::SocketState state) {
                         if (state == QAbstractSocket::ConnectedState ||
                             state == QAbstractSocket::UnconnectedState)
                             loop.quit();
                     });

    socket.connectToHost(hostForConnect(host), port, QIODevice::ReadWrite,
                         QAbstractSocket::AnyIPProtocol);
    const auto state = socket.state();
    if (state != QAbstractSocket::ConnectedState && state != QAbstractSocket::UnconnectedState) {
        tick.start();
        loop.exec();
    }
    QObject::disconnect(&socket, nullptr, &loop, nullptr);
    return socket.state() == QAbstractSocket::ConnectedState;
}
