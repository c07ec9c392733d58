#include "upssimulator.h"

#include <QHostAddress>
#include <QMetaEnum>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {

// apcupsd sends at most this many of the last event lines.
constexpr int maxEventLines = 50;
// Commands are short words; a longer request is no NIS client talking.
constexpr int maxRequestLength = 512;
// The endless stream keeps about this much queued on the socket.
constexpr qint64 streamQueueBytes = 64 * 1024;

QByteArray frame(const QByteArray &record)
{
    QByteArray framed;
    framed.reserve(record.size() + 2);
    framed.append(char((record.size() >> 8) & 0xff));
    framed.append(char(record.size() & 0xff));
    framed.append(record);
    return framed;
}

QByteArray endRecord()
{
    return QByteArray(2, '\0');
}

QByteArray joinFramed(const QList<QByteArray> &records)
{
    QByteArray bytes;
    for (const QByteArray &record : records)
        bytes += frame(record);
    return bytes;
}

const auto markupModel = QStringLiteral("<img src=\"file:///etc/hostname\">Back-UPS");
const auto markupName = QStringLiteral("<a href=\"https://example.invalid/\">click me</a>");
const auto markupEvent = QStringLiteral("<b>Power</b> <i>failure</i> <img src=x>");

} // namespace

// One client connection: requests in, replies out, misbehaviours played.
class NisSession final : public QObject
{
public:
    NisSession(UpsSimulator *simulator, QTcpSocket *connection);
    qint64 bytesSent() const { return sent; }
    void drop();

private:
    enum class Stream { None, Endless, SlowRecords, Trickle };

    void readRequests();
    void answer(const QByteArray &command);
    void send(const QByteArray &bytes);
    void streamMore();
    void finishStream();
    void closed();

    UpsSimulator *sim;
    QTcpSocket *socket;
    QByteArray input;
    QList<QByteArray> waitingCommands;
    QTimer idleTimer;
    QTimer streamTimer;
    Stream stream = Stream::None;
    QByteArray trickleRest;
    int streamCounter = 0;
    qint64 sent = 0;
};

NisSession::NisSession(UpsSimulator *simulator, QTcpSocket *connection)
    : QObject(simulator)
    , sim(simulator)
    , socket(connection)
{
    socket->setParent(this);
    idleTimer.setSingleShot(true);
    connect(&idleTimer, &QTimer::timeout, socket, &QTcpSocket::disconnectFromHost);
    if (sim->idleTimeout() > 0)
        idleTimer.start(sim->idleTimeout());
    connect(&streamTimer, &QTimer::timeout, this, &NisSession::streamMore);
    connect(socket, &QTcpSocket::readyRead, this, &NisSession::readRequests);
    connect(socket, &QTcpSocket::bytesWritten, this, [this] {
        if (stream == Stream::Endless)
            streamMore();
    });
    connect(socket, &QTcpSocket::disconnected, this, &NisSession::closed);
}

void NisSession::closed()
{
    stream = Stream::None;
    streamTimer.stop();
    idleTimer.stop();
    sim->sessions.removeAll(this);
    emit sim->connectionClosed(sent);
    deleteLater();
}

void NisSession::drop()
{
    socket->abort();
    // A socket that was not connected any more says nothing; forget it all the same.
    if (sim->sessions.contains(this))
        closed();
}

void NisSession::send(const QByteArray &bytes)
{
    if (socket->state() != QAbstractSocket::ConnectedState)
        return;
    sent += socket->write(bytes);
}

void NisSession::readRequests()
{
    input += socket->readAll();
    while (input.size() >= 2) {
        const int length = (uchar(input.at(0)) << 8) | uchar(input.at(1));
        if (length > maxRequestLength) {
            socket->abort();
            return;
        }
        if (input.size() < 2 + length)
            return;
        const QByteArray command = input.mid(2, length);
        input.remove(0, 2 + length);
        if (sim->idleTimeout() > 0)
            idleTimer.start(sim->idleTimeout());
        if (stream != Stream::None)
            waitingCommands.append(command);
        else
            answer(command);
    }
}

void NisSession::answer(const QByteArray &command)
{
    ++sim->served;
    const bool isStatus = command == "status";
    const bool isEvents = command == "events";
    if (!isStatus && !isEvents) {
        send(frame(QByteArrayLiteral("Invalid command\n") + '\0') + endRecord());
        emit sim->requestServed(QString::fromLatin1(command), UpsSimulator::Misbehaviour::None);
        return;
    }

    using M = UpsSimulator::Misbehaviour;
    const M kind = sim->takeMisbehaviour(command);
    QList<QByteArray> records = isStatus ? sim->statusRecords() : sim->eventsRecords();
    const int half = records.size() / 2;

    switch (kind) {
    case M::None:
        send(joinFramed(records) + endRecord());
        break;
    case M::LongRecord:
        records.insert(half, QByteArray(5001, 'L'));
        send(joinFramed(records) + endRecord());
        break;
    case M::ZeroByte: {
        QByteArray &record = records[half];
        record.append('\0');
        record.append("junk after the zero byte\n");
        send(joinFramed(records) + endRecord());
        break;
    }
    case M::NoEnd:
        if (isStatus && !records.isEmpty())
            records.removeLast();
        send(joinFramed(records) + endRecord());
        break;
    case M::Markup:
        if (isStatus) {
            for (QByteArray &record : records) {
                if (record.startsWith("MODEL "))
                    record = UpsModel::formatLine(QStringLiteral("MODEL"), markupModel);
                else if (record.startsWith("UPSNAME "))
                    record = UpsModel::formatLine(QStringLiteral("UPSNAME"), markupName);
            }
        } else {
            records.append((UpsModel::formatDate(QDateTime::currentDateTime()) +
                            QStringLiteral("  ") + markupEvent + QLatin1Char('\n'))
                                   .toUtf8());
        }
        send(joinFramed(records) + endRecord());
        break;
    case M::CloseMidRecord: {
        const QByteArray cut = frame(records.value(half));
        send(joinFramed(records.mid(0, half)) + cut.left(2 + (cut.size() - 2) / 2));
        socket->flush();
        socket->disconnectFromHost();
        break;
    }
    case M::Garbage:
        send(QByteArrayLiteral("<html><body>This is no NIS reply.</body></html>\r\n\xff\xfe\x01"));
        break;
    case M::Silent:
        break;
    case M::Endless:
        send(joinFramed(records.mid(0, half)));
        stream = Stream::Endless;
        streamMore();
        break;
    case M::SlowRecords:
        send(joinFramed(records.mid(0, half)));
        stream = Stream::SlowRecords;
        streamTimer.start(sim->streamInterval());
        break;
    case M::Trickle:
        trickleRest = joinFramed(records) + endRecord();
        stream = Stream::Trickle;
        streamTimer.start(sim->streamInterval());
        break;
    }
    // Announced once the reply (or the start of its stream) is on its way, so
    // that a listener may change the UPS for the next reply.
    emit sim->requestServed(QString::fromLatin1(command), kind);
}

void NisSession::streamMore()
{
    switch (stream) {
    case Stream::None:
        return;
    case Stream::Endless:
        while (socket->state() == QAbstractSocket::ConnectedState &&
               socket->bytesToWrite() < streamQueueBytes) {
            QByteArray batch;
            for (int i = 0; i < 64; ++i)
                batch += frame(UpsModel::formatLine(QStringLiteral("FLOOD"),
                                                    QString::number(++streamCounter) +
                                                            QString(80, QLatin1Char('x'))));
            send(batch);
        }
        return;
    case Stream::SlowRecords:
        send(frame(UpsModel::formatLine(QStringLiteral("SLOW"), QString::number(++streamCounter))));
        return;
    case Stream::Trickle:
        send(trickleRest.left(1));
        trickleRest.remove(0, 1);
        if (trickleRest.isEmpty())
            finishStream();
        return;
    }
}

void NisSession::finishStream()
{
    stream = Stream::None;
    streamTimer.stop();
    while (stream == Stream::None && !waitingCommands.isEmpty())
        answer(waitingCommands.takeFirst());
}

UpsSimulator::UpsSimulator(QObject *parent)
    : QObject(parent)
    , server(new QTcpServer(this))
{
    connect(server, &QTcpServer::newConnection, this, &UpsSimulator::acceptConnections);
}

UpsSimulator::~UpsSimulator() = default;

bool UpsSimulator::listen(quint16 port, const QHostAddress &address)
{
    // A simulated UPS is for this machine only.
    if (!address.isLoopback())
        return false;
    return server->listen(address, port);
}

void UpsSimulator::close()
{
    server->close();
    // abort() reports the end through disconnected(), which removes the session.
    const QList<NisSession *> open = sessions;
    for (NisSession *session : open)
        session->drop();
}

quint16 UpsSimulator::port() const
{
    return server->serverPort();
}

QString UpsSimulator::errorString() const
{
    return server->errorString();
}

int UpsSimulator::openConnections() const
{
    return sessions.size();
}

void UpsSimulator::acceptConnections()
{
    while (QTcpSocket *socket = server->nextPendingConnection()) {
        sessions.append(new NisSession(this, socket));
        emit connectionOpened();
    }
}

QList<QByteArray> UpsSimulator::statusRecords() const
{
    QList<QByteArray> records;
    const UpsModel::Lines lines = ups.statusLines();
    for (const auto &line : lines)
        records.append(UpsModel::formatLine(line.first, line.second));
    return records;
}

QList<QByteArray> UpsSimulator::eventsRecords() const
{
    QList<QByteArray> records;
    const QStringList lines = ups.eventLines();
    for (int i = qMax(0, lines.size() - maxEventLines); i < lines.size(); ++i)
        records.append((lines.at(i) + QLatin1Char('\n')).toUtf8());
    return records;
}

QByteArray UpsSimulator::statusReply() const
{
    return joinFramed(statusRecords()) + endRecord();
}

QByteArray UpsSimulator::eventsReply() const
{
    return joinFramed(eventsRecords()) + endRecord();
}

void UpsSimulator::misbehave(Misbehaviour kind, int target, int count)
{
    pendingKind = kind;
    pendingTarget = target;
    pendingCount = count;
}

void UpsSimulator::behave()
{
    pendingKind = Misbehaviour::None;
    pendingCount = 0;
}

UpsSimulator::Misbehaviour UpsSimulator::takeMisbehaviour(const QByteArray &command)
{
    if (pendingKind == Misbehaviour::None || pendingCount == 0)
        return Misbehaviour::None;
    const int target = command == "status" ? Status : Events;
    if (!(pendingTarget & target))
        return Misbehaviour::None;
    const Misbehaviour kind = pendingKind;
    if (pendingCount > 0 && --pendingCount == 0)
        pendingKind = Misbehaviour::None;
    return kind;
}

UpsSimulator::Misbehaviour UpsSimulator::misbehaviourFromName(const QString &name)
{
    const QMetaEnum kinds = QMetaEnum::fromType<Misbehaviour>();
    for (int i = 0; i < kinds.keyCount(); ++i) {
        if (name.compare(QLatin1String(kinds.key(i)), Qt::CaseInsensitive) == 0)
            return Misbehaviour(kinds.value(i));
    }
    return Misbehaviour::None;
}

void UpsSimulator::startSelfTest(int seconds)
{
    if (ups.onBattery())
        return;
    ups.selfTestStarted();
    QTimer::singleShot(seconds * 1000, this, [this] { ups.selfTestEnded(); });
}

QString UpsSimulator::helpText()
{
    return QStringLiteral(
            "powerfail | onbatt          power fails: on battery\n"
            "powerback | online          mains return\n"
            "lowbatt                     on battery with the battery low\n"
            "commlost | commok           communication with the UPS lost / restored\n"
            "selftest [SECONDS]          self-test on battery (default 5 s)\n"
            "set KEY VALUE               show VALUE for KEY (\"END APC\" in quotes)\n"
            "remove KEY                  leave KEY out of the status reply\n"
            "unset KEY | reset           computed value again for KEY / for all keys\n"
            "event TEXT                  append an event line\n"
            "misbehave KIND [status|events|both] [COUNT|forever]\n"
            "                            KIND: longrecord endless slowrecords trickle zerobyte\n"
            "                            noend closemidrecord garbage markup silent\n"
            "behave                      answer normally again\n"
            "interval MS                 pace of trickle and slowrecords (default 2000)\n"
            "idle MS                     drop connections idle this long (default 15000, 0 never)\n"
            "show                        print the status reply\n"
            "help                        this text\n"
            "quit                        end the simulator\n");
}

bool UpsSimulator::execute(const QString &commandLine, QString *message)
{
    const QString line = commandLine.trimmed();
    if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
        return true;
    const int blank = line.indexOf(QLatin1Char(' '));
    const QString command = line.left(blank < 0 ? line.size() : blank).toLower();
    const QString rest = blank < 0 ? QString() : line.mid(blank + 1).trimmed();
    auto fail = [message](const QString &text) {
        if (message)
            *message = text;
        return false;
    };
    // The first word of rest, or a quoted key such as "END APC", and what follows.
    auto splitKey = [&rest](QString *value) {
        QString key;
        if (rest.startsWith(QLatin1Char('"')) && rest.indexOf(QLatin1Char('"'), 1) > 0) {
            const int close = rest.indexOf(QLatin1Char('"'), 1);
            key = rest.mid(1, close - 1);
            *value = rest.mid(close + 1);
        } else {
            const int space = rest.indexOf(QLatin1Char(' '));
            key = rest.left(space < 0 ? rest.size() : space);
            *value = space < 0 ? QString() : rest.mid(space + 1);
        }
        if (value->startsWith(QLatin1Char(' ')))
            value->remove(0, 1);
        return key;
    };

    if (command == QLatin1String("powerfail") || command == QLatin1String("onbatt")) {
        ups.powerFail();
    } else if (command == QLatin1String("powerback") || command == QLatin1String("online")) {
        ups.powerBack();
    } else if (command == QLatin1String("lowbatt")) {
        ups.lowBattery();
    } else if (command == QLatin1String("commlost")) {
        ups.communicationLost();
    } else if (command == QLatin1String("commok")) {
        ups.communicationRestored();
    } else if (command == QLatin1String("selftest")) {
        bool ok = true;
        const int seconds = rest.isEmpty() ? 5 : rest.toInt(&ok);
        if (!ok || seconds < 0)
            return fail(QStringLiteral("selftest takes a number of seconds"));
        startSelfTest(seconds);
    } else if (command == QLatin1String("set")) {
        QString value;
        const QString key = splitKey(&value);
        if (key.isEmpty())
            return fail(QStringLiteral("set needs a key"));
        ups.setValue(key, value);
    } else if (command == QLatin1String("remove") || command == QLatin1String("unset")) {
        QString ignored;
        const QString key = splitKey(&ignored);
        if (key.isEmpty())
            return fail(command + QStringLiteral(" needs a key"));
        if (command == QLatin1String("remove"))
            ups.removeValue(key);
        else
            ups.resetValue(key);
    } else if (command == QLatin1String("reset")) {
        ups.clearValues();
    } else if (command == QLatin1String("event")) {
        ups.addEvent(rest);
    } else if (command == QLatin1String("misbehave")) {
        const QStringList words = rest.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        const Misbehaviour kind = misbehaviourFromName(words.value(0));
        if (kind == Misbehaviour::None)
            return fail(QStringLiteral("unknown misbehaviour: ") + words.value(0));
        int target = Status;
        int count = 1;
        for (const QString &word : words.mid(1)) {
            bool isNumber = false;
            const int number = word.toInt(&isNumber);
            if (word == QLatin1String("status"))
                target = Status;
            else if (word == QLatin1String("events"))
                target = Events;
            else if (word == QLatin1String("both"))
                target = Both;
            else if (word == QLatin1String("forever"))
                count = -1;
            else if (isNumber && number > 0)
                count = number;
            else
                return fail(QStringLiteral("misbehave: not understood: ") + word);
        }
        misbehave(kind, target, count);
    } else if (command == QLatin1String("behave")) {
        behave();
    } else if (command == QLatin1String("interval") || command == QLatin1String("idle")) {
        bool ok = false;
        const int msecs = rest.toInt(&ok);
        if (!ok || msecs < 0)
            return fail(command + QStringLiteral(" takes milliseconds"));
        if (command == QLatin1String("interval"))
            setStreamInterval(qMax(1, msecs));
        else
            setIdleTimeout(msecs);
    } else if (command == QLatin1String("show")) {
        if (message) {
            message->clear();
            for (const QByteArray &record : statusRecords())
                *message += QString::fromUtf8(record);
        }
    } else if (command == QLatin1String("help")) {
        if (message)
            *message = helpText();
    } else if (command == QLatin1String("quit")) {
        emit quitRequested();
    } else {
        return fail(QStringLiteral("unknown command: ") + command +
                    QStringLiteral(" (\"help\" lists the commands)"));
    }
    return true;
}
