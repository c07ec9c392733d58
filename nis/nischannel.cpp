#include "nischannel.h"

#include "abortsignal.h"
#include "quickack.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTcpSocket>
#include <QTimer>

#include <cstring>

namespace {

int remainingMs(const QDeadlineTimer &deadline)
{
    return int(qMax<qint64>(0, deadline.remainingTime()));
}

} // namespace

NisChannel::NisChannel(QIODevice *ioDevice, const AbortSignal *abort)
    : device(ioDevice)
    , socket(qobject_cast<QAbstractSocket *>(ioDevice))
    , abortSignal(abort)
{ }

bool NisChannel::aborted() const
{
    return abortSignal && abortSignal->isSet();
}

void NisChannel::waitForData(int msecs)
{
    QDeadlineTimer deadline(msecs);
    if (replyDeadline && replyDeadline->deadline() < deadline.deadline())
        deadline = *replyDeadline;
    if (socket && abortSignal)
        abortSignal->waitOn(*socket, AbortSignal::Direction::Read, remainingMs(deadline));
    else
        device->waitForReadyRead(remainingMs(deadline));
}

qint64 NisChannel::readDevice(char *data, qint64 size)
{
    // A socket that the peer has closed is no longer open; reading it would
    // only warn.
    if (!device->isReadable())
        return -1;
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
    // Handed to the system at once; the wait below is needed only when the
    // system could not take it all. Whether the request left is not examined
    // here: one that did not shows up as a reply that does not complete.
    socket->flush();
    QDeadlineTimer deadline(writeWaitMs);
    while (socket->bytesToWrite() > 0 && !aborted() && !deadline.hasExpired() &&
           socket->state() == QAbstractSocket::ConnectedState) {
        if (abortSignal)
            abortSignal->waitOn(*socket, AbortSignal::Direction::Write, remainingMs(deadline));
        else
            socket->waitForBytesWritten(remainingMs(deadline));
    }
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
    if (quickAck && socket)
        requestQuickAck(socket->socketDescriptor());
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
                               const AbortSignal *abortSignal)
{
    // The blocking waitForConnected() cannot be woken by an abort. A short
    // local event loop can: it also lets a host name lookup be abandoned.
    QEventLoop loop;
    QTimer timeLimit;
    timeLimit.setSingleShot(true);
    QObject::connect(&timeLimit, &QTimer::timeout, &loop, &QEventLoop::quit);
    if (abortSignal)
        abortSignal->notifyWhenSet(&loop, [&loop] { loop.quit(); });
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
        timeLimit.start(msecs);
        loop.exec();
    }
    QObject::disconnect(&socket, nullptr, &loop, nullptr);
    return socket.state() == QAbstractSocket::ConnectedState;
}
