#include "comthrd.h"

#include "logs.h"
#include "nischannel.h"
#include "registry.h"
#include "threadscheduling.h"

#include <QDeadlineTimer>
#include <QMutexLocker>
#include <QTcpSocket>

#include <exception>

namespace {
const auto hostKey = QStringLiteral("upshost");
const auto portKey = QStringLiteral("upsport");
// Each request is followed by this pause, so each reply is renewed about every 1.1 s.
constexpr int pauseMs = 550;
} // namespace

// One of the loop's two connections with what it needs for one request.
struct COMThrd::Exchange
{
    QTcpSocket socket;
    NisChannel channel;
    QByteArray command;
    QString connectedMessage;
    NisChannel::Reply reply;

    Exchange(const AbortSignal *abort, const char *commandText, QString message)
        : channel(&socket, abort)
        , command(commandText)
        , connectedMessage(std::move(message))
    { }
};

QString COMThrd::Endpoint::text() const
{
    return host + QLatin1Char(':') + QString::number(port);
}

COMThrd *COMThrd::instance()
{
    static std::atomic<COMThrd *> theInstance{nullptr};
    static QMutex creationMutex;
    COMThrd *client = theInstance.load(std::memory_order_acquire);
    if (!client) {
        QMutexLocker locker(&creationMutex);
        client = theInstance.load(std::memory_order_relaxed);
        if (!client) {
            client = new COMThrd(Registry::instance(), Logs::instance());
            theInstance.store(client, std::memory_order_release);
        }
    }
    return client;
}

COMThrd::COMThrd(Registry *settings, Logs *log)
    : QThread(nullptr)
    , registry(settings)
    , logs(log)
{
    try {
        QString host = registry->getKey(hostKey);
        if (host.isEmpty()) {
            host = QStringLiteral("localhost");
            registry->setKey(hostKey, host);
        }
        int port;
        const QString portText = registry->getKey(portKey);
        if (portText.isEmpty()) {
            port = 3551;
            registry->setKey(portKey, QStringLiteral("3551"));
        } else {
            port = portText.toInt();
        }
        {
            QMutexLocker locker(&connectionMutex);
            upsHost = host;
            upsPort = port;
        }
        connectionEdited = false;
        logs->trace(QStringLiteral("Acpupsd communication ready"));
    } catch (const std::exception &e) {
        logs->trace(QStringLiteral("Acpupsd communication Exception :") +
                    QString::fromLocal8Bit(e.what()));
    }
}

COMThrd::~COMThrd()
{
    stopAndWait(NisChannel::connectWaitMs);
    wait();
}

QString COMThrd::statusValue(const QString &key) const
{
    QMutexLocker locker(&dataMutex);
    return Nis::lookup(statusData, key);
}

QStringList COMThrd::eventLines() const
{
    QMutexLocker locker(&dataMutex);
    return eventData;
}

bool COMThrd::statusStored() const
{
    QMutexLocker locker(&dataMutex);
    return !statusData.isEmpty();
}

COMThrd::Endpoint COMThrd::endpoint() const
{
    QMutexLocker locker(&connectionMutex);
    return {upsHost, upsPort};
}

QString COMThrd::host() const
{
    return endpoint().host;
}

quint16 COMThrd::port() const
{
    return quint16(endpoint().port);
}

void COMThrd::setConnection(const QString &host, const QString &port)
{
    bool hostChanged = false;
    if (registry->getKey(hostKey) != host) {
        registry->setKey(hostKey, host);
        QMutexLocker locker(&connectionMutex);
        upsHost = host;
        hostChanged = true;
    }
    if (registry->getKey(portKey) != port) {
        registry->setKey(portKey, port);
        {
            QMutexLocker locker(&connectionMutex);
            upsPort = port.toInt();
        }
        registry->save();
        connectionEdited = true;
    } else if (hostChanged) {
        registry->save();
        connectionEdited = true;
    }
}

void COMThrd::announceNextEvents()
{
    nextEventsAnnounced = true;
}

void COMThrd::stop()
{
    stopRequested = true;
}

void COMThrd::start(QThread::Priority priority)
{
    QMutexLocker locker(&runMutex);
    stopRequested = false;
    abortRequested.clear();
    if (loopActive)
        return;
    // A run that has decided to end only writes its last trace line and closes
    // its sockets; waiting for that is short and never waits on the network.
    QThread::wait();
    loopActive = true;
    QThread::start(priority);
}

bool COMThrd::stopAndWait(int msecs)
{
    stopRequested = true;
    abortRequested.set();
    wakeUp();
    return wait(QDeadlineTimer(msecs));
}

bool COMThrd::leaveRequested()
{
    if (!stopRequested)
        return false;
    QMutexLocker locker(&runMutex);
    if (!stopRequested)
        return false;
    loopActive = false;
    return true;
}

void COMThrd::pause(int msecs)
{
    const QDeadlineTimer deadline(msecs);
    QMutexLocker locker(&pauseMutex);
    while (!abortRequested.isSet() && !deadline.hasExpired())
        pauseWake.wait(&pauseMutex, deadline);
}

void COMThrd::wakeUp()
{
    QMutexLocker locker(&pauseMutex);
    pauseWake.wakeAll();
}

void COMThrd::exchange(Exchange &with, const Endpoint &target)
{
    with.reply = {};
    if (abortRequested.isSet()) {
        with.reply.end = NisChannel::ReplyEnd::Aborted;
        return;
    }
    QTcpSocket &socket = with.socket;
    if (socket.state() == QAbstractSocket::UnconnectedState) {
        if (NisChannel::connectSocket(socket, target.host, quint16(target.port),
                                      NisChannel::connectWaitMs, &abortRequested)) {
            logs->trace(with.connectedMessage + target.text());
        } else {
            socket.abort();
            if (abortRequested.isSet()) {
                with.reply.end = NisChannel::ReplyEnd::Aborted;
                return;
            }
            logs->trace(QStringLiteral("Can not open ") + target.text());
        }
    }
    if (socket.state() != QAbstractSocket::ConnectedState)
        return;
    with.channel.sendRequest(with.command);
    with.reply = with.channel.readReply();
    // A reply that did not end with its closing record leaves the stream at an
    // unknown place: what follows would be read as the next reply. The
    // connection is dropped and opened afresh in the next cycle.
    if (!with.reply.isComplete())
        socket.abort();
}

void COMThrd::run()
{
    {
        QMutexLocker locker(&runMutex);
        loopActive = true;
    }
    setBackgroundScheduling();
    try {
        Exchange status(&abortRequested, "status", QStringLiteral("Status client connected to "));
        Exchange events(&abortRequested, "events", QStringLiteral("Event client connected to "));

        // Empty until this run's first list: a non-empty reply never splits
        // into no lines, so that first list is always announced.
        QStringList announcedEvents;

        logs->trace(QStringLiteral("Start lisening to apcupsd service from ") + endpoint().text());
        while (!leaveRequested()) {
            if (connectionEdited.exchange(false)) {
                logs->trace(QStringLiteral("Connection info edited, restarting connection"));
                status.socket.abort();
                events.socket.abort();
            }
            const Endpoint target = endpoint();

            exchange(status, target);
            const auto statusEnd = status.reply.end;
            // A reply cut off at its size or time bound is discarded even if
            // what arrived happens to look whole.
            if (statusEnd != NisChannel::ReplyEnd::Aborted &&
                statusEnd != NisChannel::ReplyEnd::TooLarge &&
                statusEnd != NisChannel::ReplyEnd::TooSlow &&
                Nis::isStatusReply(status.reply.text)) {
                StatusRecord record = Nis::parseStatus(status.reply.text);
                {
                    QMutexLocker locker(&dataMutex);
                    statusData = std::move(record);
                }
                emit StatusDataReady();
            }
            pause(pauseMs);

            // Until a first status reply has been accepted, both connections
            // are opened afresh in every cycle.
            if (!statusStored()) {
                status.socket.abort();
                events.socket.abort();
            }

            exchange(events, target);
            if (events.reply.end != NisChannel::ReplyEnd::Aborted && !events.reply.text.isEmpty()) {
                QStringList lines = Nis::splitEvents(events.reply.text);
                // The daemon sends its whole list every time and it seldom
                // changes: an unchanged list wakes nobody unless asked for.
                const bool asked = nextEventsAnnounced.exchange(false);
                if (asked || lines != announcedEvents) {
                    announcedEvents = lines;
                    {
                        QMutexLocker locker(&dataMutex);
                        eventData = std::move(lines);
                    }
                    emit EventsDataReady();
                }
            }
            pause(pauseMs);
        }
        logs->trace(QStringLiteral("Lisening to apcupsd service stoped."));
    } catch (const std::exception &e) {
        logs->trace(QStringLiteral("Lisening to apcupsd service exited with exception: ") +
                    QString::fromLocal8Bit(e.what()));
        QMutexLocker locker(&runMutex);
        loopActive = false;
    }
}
