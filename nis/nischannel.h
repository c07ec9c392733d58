#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <array>

class AbortSignal;
class QAbstractSocket;
class QDeadlineTimer;
class QIODevice;
class QTcpSocket;

// One conversation with apcupsd's Network Information Server over a device,
// normally a connected QTcpSocket used without an event loop.
//
// A request is a two-byte big-endian length and the command. A reply is a
// sequence of records, each a two-byte big-endian length and that many bytes,
// ended by a record of length zero. Every wait is bounded, and a reply as a
// whole is bounded too (replyByteLimit, replyTimeLimitMs), so that a server
// that streams without end cannot grow memory or hold the caller forever.
//
// When an abort signal is given, every wait ends as soon as it is set, and
// nothing more is sent once it is set.
class NisChannel final
{
    Q_DISABLE_COPY(NisChannel)

public:
    static constexpr int recordCapacity = 5000;
    static constexpr int lengthWaitMs = 5000;
    static constexpr int bodyWaitMs = 500;
    static constexpr int writeWaitMs = 5000;
    static constexpr int connectWaitMs = 5000;
    static constexpr qint64 replyByteLimit = 1024 * 1024;
    static constexpr int replyTimeLimitMs = 15000;

    enum class ReplyEnd {
        Complete,  // the zero-length record arrived
        ReadError, // no data in time, a short read, a record above the capacity, a closed peer
        TooLarge,  // more than replyByteLimit bytes
        TooSlow,   // not complete within replyTimeLimitMs
        Aborted,   // the abort flag was set
    };

    struct Reply
    {
        QString text;
        ReplyEnd end = ReplyEnd::ReadError;
        bool isComplete() const { return end == ReplyEnd::Complete; }
    };

    explicit NisChannel(QIODevice *device, const AbortSignal *abortSignal = nullptr);

    // On Linux, asks the kernel once before each reply to acknowledge what
    // arrives at once. The daemon writes each record in small pieces and
    // Nagle's algorithm holds them back until our acknowledgement, which would
    // otherwise be delayed by about 40 ms. The kernel falls back to delayed
    // acknowledgements only when this side sends, which it does not while a
    // reply comes in. On by default; without effect on other systems.
    void setQuickAck(bool enabled) { quickAck = enabled; }

    // Writes the length, then (only when the length went out whole) the
    // command, and waits up to writeWaitMs for it to leave. A failed write shows
    // up as a reply that does not complete.
    void sendRequest(const QByteArray &command);

    // Reads one record into buffer. Returns the record length (1 to capacity),
    // 0 for the end-of-reply record, -1 on an error (a length above capacity, a
    // length or body cut short), or the device's read result when that is 0 or
    // negative (nothing arrived in time, the peer is gone). The bytes of a short
    // read are lost; the rest of that record stays unread.
    int readRecord(char *buffer, int capacity);

    // Reads records until the end-of-reply record or an error. The text is the
    // records' bytes as UTF-8, each cut at its first zero byte.
    Reply readReply();

    // Connects socket to host:port, waiting up to msecs (or until abortSignal
    // is set). A host written as an IPv6 literal in brackets ("[::1]") is
    // connected without the brackets.
    static bool connectSocket(QTcpSocket &socket, const QString &host, quint16 port, int msecs,
                              const AbortSignal *abortSignal = nullptr);

    static QString hostForConnect(const QString &host);

private:
    bool aborted() const;
    // One wait for more data (however little), at most msecs and never past the
    // reply's deadline while a reply is being read.
    void waitForData(int msecs);
    qint64 readDevice(char *buffer, qint64 size);

    QIODevice *device;
    QAbstractSocket *socket;
    const AbortSignal *abortSignal;
    bool quickAck = true;
    bool endRecordSeen = false;
    const QDeadlineTimer *replyDeadline = nullptr;
    std::array<char, recordCapacity> buffer{};
};
