// The NIS record reader fed with the bytes a server sends. A plain model of the
// framing (a two-byte big-endian length, that many bytes, a zero length ending
// the reply) says what every read must give, and the reader must agree with it
// byte for byte.
//
// The first input byte chooses the check; the rest is what the server sends:
//   0  record by record, into a buffer of a capacity taken from two more bytes:
//      never more than the stated length nor the capacity, nothing written past
//      the record, the device left right behind the record;
//   1  whole replies through a buffer and through a loopback TCP connection
//      that the server closes after its bytes: the model's text and ending, and
//      nothing read past the closing record;
//   2  a server that repeats its bytes without end: the reply still ends, at
//      its size bound at the latest.

#include "fuzzsupport.h"
#include "nischannel.h"

#include <QBuffer>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

namespace {

// Copies count bytes of bytes repeated without end, from pos on.
void copyCyclic(const QByteArray &bytes, qint64 pos, char *to, qint64 count)
{
    while (count > 0) {
        const qint64 offset = pos % bytes.size();
        const qint64 piece = qMin(count, bytes.size() - offset);
        std::memcpy(to, bytes.constData() + offset, size_t(piece));
        to += piece;
        pos += piece;
        count -= piece;
    }
}

using ReplyEnd = NisChannel::ReplyEnd;

const char *nameOf(ReplyEnd end)
{
    static const char *const names[] = {"Complete", "ReadError", "TooLarge", "TooSlow", "Aborted"};
    return names[int(end)];
}

// What the server sends: the bytes once, or repeated without end.
class Stream
{
public:
    Stream(const QByteArray &bytes, bool endless)
        : bytes(bytes)
        , endless(endless)
    { }
    qint64 available(qint64 pos) const
    {
        return endless ? std::numeric_limits<qint64>::max() / 2 : bytes.size() - pos;
    }
    uchar at(qint64 pos) const { return uchar(bytes.constData()[pos % bytes.size()]); }
    QByteArray mid(qint64 pos, qint64 count) const
    {
        QByteArray part(int(count), Qt::Uninitialized);
        copyCyclic(bytes, pos, part.data(), count);
        return part;
    }

private:
    QByteArray bytes;
    bool endless;
};

struct ModelRead
{
    int result = 0;
    bool endRecord = false;
    qint64 bodyAt = 0;
    qint64 next = 0;
};

// What readRecord must give at pos on a device that answers the end of its data
// by reading nothing.
ModelRead modelRecord(const Stream &stream, qint64 pos, int capacity)
{
    const qint64 available = stream.available(pos);
    if (available == 0)
        return {0, false, pos, pos};
    if (available == 1)
        return {-1, false, pos, pos + 1};
    const int length = (stream.at(pos) << 8) | stream.at(pos + 1);
    const qint64 bodyAt = pos + 2;
    if (length > capacity)
        return {-1, false, bodyAt, bodyAt};
    if (length == 0)
        return {0, true, bodyAt, bodyAt};
    const qint64 body = qMin<qint64>(length, available - 2);
    if (body == 0)
        return {0, false, bodyAt, bodyAt};
    return {body == length ? length : -1, false, bodyAt, bodyAt + body};
}

struct ModelReply
{
    QString text;
    ReplyEnd end = ReplyEnd::ReadError;
    qint64 next = 0;
};

ModelReply modelReply(const Stream &stream)
{
    ModelReply reply;
    qint64 received = 0;
    for (;;) {
        const ModelRead read = modelRecord(stream, reply.next, NisChannel::recordCapacity);
        reply.next = read.next;
        if (read.result <= 0) {
            reply.end = read.endRecord ? ReplyEnd::Complete : ReplyEnd::ReadError;
            return reply;
        }
        received += read.result;
        if (received > NisChannel::replyByteLimit) {
            reply.end = ReplyEnd::TooLarge;
            return reply;
        }
        const QByteArray body = stream.mid(read.bodyAt, read.result);
        const int zero = body.indexOf('\0');
        reply.text += QString::fromUtf8(zero >= 0 ? body.left(zero) : body);
    }
}

// A server that repeats the same bytes for ever. Unbuffered, so that what it
// handed out is what the reader took.
class EndlessDevice final : public QIODevice
{
public:
    explicit EndlessDevice(const QByteArray &cycle)
        : cycle(cycle)
    {
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return QIODevice::bytesAvailable() + (1 << 30); }
    qint64 handedOut() const { return position; }

protected:
    qint64 readData(char *data, qint64 size) override
    {
        copyCyclic(cycle, position, data, size);
        position += size;
        return size;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArray cycle;
    qint64 position = 0;
};

QString describe(const NisChannel::Reply &reply, const ModelReply &model)
{
    return QStringLiteral("reader: %1, %2 characters; model: %3, %4 characters")
            .arg(QLatin1String(nameOf(reply.end)))
            .arg(reply.text.size())
            .arg(QLatin1String(nameOf(model.end)))
            .arg(model.text.size());
}

void recordByRecord(const QByteArray &bytes, int capacity)
{
    const Stream stream(bytes, false);
    QByteArray data = bytes;
    QBuffer device(&data);
    device.open(QIODevice::ReadOnly);
    NisChannel channel(&device);
    // Exactly the capacity, on the heap: a write past it is an overflow.
    std::vector<char> buffer(static_cast<size_t>(capacity));
    qint64 pos = 0;
    while (pos < bytes.size()) {
        std::memset(buffer.data(), 0x5a, buffer.size());
        const ModelRead expected = modelRecord(stream, pos, capacity);
        const int result = channel.readRecord(buffer.data(), capacity);
        const QString where = QStringLiteral("at byte %1, capacity %2: read %3, model %4")
                                      .arg(pos)
                                      .arg(capacity)
                                      .arg(result)
                                      .arg(expected.result);
        Fuzz::require(result == expected.result, "readRecord gives the model's result", where);
        Fuzz::require(result <= capacity, "a record never exceeds the capacity", where);
        Fuzz::require(device.pos() == expected.next,
                      "the reader stops right behind the record it read",
                      where + QStringLiteral(", device at %1").arg(device.pos()));
        if (result > 0) {
            Fuzz::require(std::memcmp(buffer.data(), data.constData() + expected.bodyAt,
                                      size_t(result)) == 0,
                          "the buffer holds the record's bytes", where);
            for (int i = result; i < capacity; ++i)
                Fuzz::require(buffer[size_t(i)] == 0x5a, "nothing is written past the record",
                              where);
        }
        pos = expected.next;
    }
}

void replyThroughBuffer(const QByteArray &bytes, const ModelReply &model)
{
    QByteArray data = bytes;
    QBuffer device(&data);
    device.open(QIODevice::ReadOnly);
    NisChannel channel(&device);
    const NisChannel::Reply reply = channel.readReply();
    Fuzz::require(reply.end == model.end && reply.text == model.text,
                  "a reply read from a buffer is the model's", describe(reply, model));
    Fuzz::require(device.pos() == model.next, "nothing is read past the closing record",
                  QStringLiteral("read %1 bytes, model %2").arg(device.pos()).arg(model.next));
}

QTcpServer &server()
{
    static QTcpServer listener;
    if (!listener.isListening() && !listener.listen(QHostAddress::LocalHost, 0))
        Fuzz::fail("the loopback server listens", listener.errorString());
    return listener;
}

void replyThroughSocket(const QByteArray &bytes, const ModelReply &model)
{
    // The conversation as the program holds it: connect, ask, read.
    QTcpSocket client;
    Fuzz::require(NisChannel::connectSocket(client, QStringLiteral("127.0.0.1"),
                                            server().serverPort(), 30000),
                  "the loopback connection opens", client.errorString());
    // The connect's event loop may have accepted the connection already.
    Fuzz::require(server().hasPendingConnections() || server().waitForNewConnection(30000),
                  "the loopback server accepts");
    const std::unique_ptr<QTcpSocket> peer(server().nextPendingConnection());
    NisChannel channel(&client);
    channel.sendRequest(QByteArrayLiteral("status"));
    while (peer->bytesAvailable() < 8)
        Fuzz::require(peer->waitForReadyRead(30000), "the request arrives");
    const QByteArray request = peer->readAll();
    Fuzz::require(request == QByteArray("\x00\x06status", 8),
                  "the request is the length and the command", Fuzz::hex(request));
    peer->write(bytes);
    while (peer->bytesToWrite() > 0)
        Fuzz::require(peer->waitForBytesWritten(30000), "the server's bytes leave");
    // The server has said all it will say.
    peer->disconnectFromHost();

    const NisChannel::Reply reply = channel.readReply();
    Fuzz::require(reply.end == model.end && reply.text == model.text,
                  "a reply read from a socket is the model's", describe(reply, model));
    // What the reader left on the connection is exactly what follows the reply.
    QByteArray rest = client.readAll();
    while (client.state() == QAbstractSocket::ConnectedState && client.waitForReadyRead(30000))
        rest += client.readAll();
    Fuzz::require(rest == bytes.mid(int(model.next)), "nothing is read past the closing record",
                  QStringLiteral("left %1 bytes, model %2")
                          .arg(rest.size())
                          .arg(bytes.size() - model.next));
}

void endlessReply(const QByteArray &cycle)
{
    const ModelReply model = modelReply(Stream(cycle, true));
    EndlessDevice device(cycle);
    NisChannel channel(&device);
    const NisChannel::Reply reply = channel.readReply();
    Fuzz::require(reply.text.size() <= NisChannel::replyByteLimit,
                  "an endless reply stops at its size bound", describe(reply, model));
    // A machine slow enough to take the reply's whole time bound ends it early,
    // and that is a bound kept too.
    if (reply.end == ReplyEnd::TooSlow) {
        Fuzz::require(model.text.startsWith(reply.text), "a reply cut short by time is a prefix",
                      describe(reply, model));
        return;
    }
    Fuzz::require(reply.end == model.end && reply.text == model.text,
                  "an endless reply is the model's", describe(reply, model));
    Fuzz::require(
            device.handedOut() == model.next, "nothing is read past the reply's end",
            QStringLiteral("read %1 bytes, model %2").arg(device.handedOut()).arg(model.next));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Fuzz::makeApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const QByteArray input(reinterpret_cast<const char *>(data), int(size));
    switch (uchar(input.at(0)) % 3) {
    case 0:
        if (size >= 3) {
            const int capacity =
                    1 + (uchar(input.at(1)) << 8 | uchar(input.at(2))) % NisChannel::recordCapacity;
            recordByRecord(input.mid(3), capacity);
        }
        break;
    case 1: {
        const QByteArray bytes = input.mid(1);
        const ModelReply model = modelReply(Stream(bytes, false));
        replyThroughBuffer(bytes, model);
        replyThroughSocket(bytes, model);
        break;
    }
    default:
        if (size >= 2)
            endlessReply(input.mid(1));
        break;
    }
    return 0;
}
