#pragma once

#include "upsmodel.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

class QTcpServer;
class NisSession;

// A stand-in for apcupsd's Network Information Server, playing one UPS whose
// state can be changed while it runs. It listens on 127.0.0.1, answers
// "status" and "events" as apcupsd 3.14 does (one record per line, closed by
// the zero-length record, several requests per connection, a client idle for
// 15 s dropped) and "Invalid command" to anything else. On demand it
// misbehaves, for testing how a client copes.
class UpsSimulator final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(UpsSimulator)

public:
    enum class Misbehaviour {
        None,
        LongRecord,     // a record of 5001 bytes in the middle of the reply
        Endless,        // records without end, as fast as the client reads them
        SlowRecords,    // after the first records, one more record per interval, without end
        Trickle,        // the whole reply, one byte per interval
        ZeroByte,       // a record holding a zero byte followed by junk
        NoEnd,          // the status reply without its "END APC" line
        CloseMidRecord, // half of the reply, half a record, then the connection closes
        Garbage,        // bytes that are no reply at all, and no closing record
        Markup,         // values and event lines holding HTML markup
        Silent,         // no answer at all
    };
    Q_ENUM(Misbehaviour)

    enum Target { Status = 1, Events = 2, Both = Status | Events };

    explicit UpsSimulator(QObject *parent = nullptr);
    ~UpsSimulator() override;

    // Listens at port (0: a free port chosen by the system) on address, which
    // is 127.0.0.1 unless a test asks for ::1.
    bool listen(quint16 port = 0, const QHostAddress &address = QHostAddress::LocalHost);
    // Stops listening and drops every connection, as a daemon that ends;
    // listen() again (on the same port) is the daemon started anew.
    void close();
    quint16 port() const;
    QString errorString() const;

    UpsModel &model() { return ups; }

    // Runs one command as typed on standard input or written in a scenario
    // (see the README). Returns false, with a message, for a command it does
    // not understand; message may also receive output of a command ("show").
    bool execute(const QString &commandLine, QString *message = nullptr);
    static QString helpText();

    // On battery for seconds, then back on mains, with apcupsd's self-test events.
    void startSelfTest(int seconds);

    // The next count replies to the target command misbehave (count < 0: all
    // of them until behave()).
    void misbehave(Misbehaviour kind, int target = Status, int count = 1);
    void behave();
    static Misbehaviour misbehaviourFromName(const QString &name);

    // The pace of Trickle (per byte) and SlowRecords (per record).
    void setStreamInterval(int msecs) { streamIntervalMs = msecs; }
    int streamInterval() const { return streamIntervalMs; }
    // A connection without a request for this long is closed (0: never).
    void setIdleTimeout(int msecs) { idleTimeoutMs = msecs; }
    int idleTimeout() const { return idleTimeoutMs; }

    // The records of the replies as they are sent when nothing misbehaves,
    // each with its two-byte length, closed by the zero-length record.
    QByteArray statusReply() const;
    QByteArray eventsReply() const;
    QList<QByteArray> statusRecords() const;
    QList<QByteArray> eventsRecords() const;

    int openConnections() const;
    int requestsServed() const { return served; }

signals:
    // A request was answered (or its misbehaving answer begun) with kind.
    void requestServed(const QString &command, UpsSimulator::Misbehaviour kind);
    void connectionOpened();
    // bytesSent counts what was written to the connection before it closed.
    void connectionClosed(qint64 bytesSent);
    // The command "quit" was given.
    void quitRequested();

private:
    friend class NisSession;
    // Takes one misbehaviour for a reply to command (None when none is due).
    Misbehaviour takeMisbehaviour(const QByteArray &command);
    void acceptConnections();

    UpsModel ups;
    QTcpServer *server;
    QList<NisSession *> sessions;
    Misbehaviour pendingKind = Misbehaviour::None;
    int pendingTarget = Status;
    int pendingCount = 0;
    int streamIntervalMs = 2000;
    int idleTimeoutMs = 15000;
    int served = 0;
};
