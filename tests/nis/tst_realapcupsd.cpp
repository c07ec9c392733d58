// Debian's apcupsd as the peer: started privately as a network slave of the
// simulator, with a stub apccontrol. What the client relies on is checked
// against the real daemon here. (Debian's built-in "test" UPS would need no
// master, but its daemon keeps a processor core busy.)

#include "apcupsdfixture.h"
#include "comthrd.h"
#include "logs.h"
#include "nischannel.h"
#include "registry.h"
#include "statusrecord.h"
#include "upssimulator.h"

#include "shownstatuskeys.h"
#include <QTcpSocket>

#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

// A connection of the test's own to the daemon, for the raw replies.
struct RawClient
{
    QTcpSocket socket;
    NisChannel channel{&socket};

    bool open(quint16 port)
    {
        return NisChannel::connectSocket(socket, QStringLiteral("127.0.0.1"), port, 5000);
    }
    NisChannel::Reply ask(const QByteArray &command)
    {
        channel.sendRequest(command);
        return channel.readReply();
    }
};

} // namespace

class TestRealApcupsd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void clientReadsTheDaemon();
    void clientFollowsPowerFailureAndReturn();
    void lowBatteryShutsDownThroughTheStub();
    void severalRequestsOnOneConnectionThenIdleDrop();
    void invalidCommand();
    void atMostFiftyEventLines();
    void noEventsFile();

private:
    bool startSlave(ApcupsdFixture::Options options = {});
    void startClient(quint16 port);

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<Logs> logs;
    std::unique_ptr<Registry> registry;
    std::unique_ptr<UpsSimulator> master;
    std::unique_ptr<ApcupsdFixture> daemon;
    std::unique_ptr<COMThrd> client;
};

void TestRealApcupsd::initTestCase()
{
    if (ApcupsdFixture::executable().isEmpty())
        QSKIP("apcupsd is not installed; scripts/install-deps installs Debian's package");
}

void TestRealApcupsd::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    logs = std::make_unique<Logs>(dir->filePath(QStringLiteral("Trace.log")));
    registry = std::make_unique<Registry>(logs.get(), dir->filePath(QStringLiteral("confdata")));
    master = std::make_unique<UpsSimulator>();
    QVERIFY(master->listen());
    master->model().setValue(QStringLiteral("UPSNAME"), QStringLiteral("master-ups"));
    daemon = std::make_unique<ApcupsdFixture>();
}

void TestRealApcupsd::cleanup()
{
    if (client)
        QVERIFY(client->stopAndWait(10000));
    client.reset();
    daemon.reset();
    master.reset();
    registry.reset();
    logs.reset();
    dir.reset();
}

bool TestRealApcupsd::startSlave(ApcupsdFixture::Options options)
{
    options.masterPort = master->port();
    QString error;
    const bool started = daemon->start(options, &error);
    if (!started)
        qWarning().noquote() << error;
    return started;
}

void TestRealApcupsd::startClient(quint16 port)
{
    registry->setKey(QStringLiteral("upshost"), QStringLiteral("127.0.0.1"));
    registry->setKey(QStringLiteral("upsport"), QString::number(port));
    client = std::make_unique<COMThrd>(registry.get(), logs.get());
    client->start();
}

void TestRealApcupsd::clientReadsTheDaemon()
{
    QVERIFY(startSlave());
    startClient(daemon->nisPort());

    // A slave shows the master's state and name.
    QTRY_COMPARE_WITH_TIMEOUT(client->statusValue(QStringLiteral("STATUS")),
                              QStringLiteral("ONLINE SLAVE"), 30000);
    QCOMPARE(client->statusValue(QStringLiteral("UPSNAME")), QStringLiteral("master-ups"));
    QCOMPARE(client->statusValue(QStringLiteral("APC")).split(QLatin1Char(',')).size(), 3);

    // Every shown key that the daemon sends reaches the client as the daemon
    // sent it (keys whose values change by the second are only checked for presence).
    RawClient raw;
    QVERIFY(raw.open(daemon->nisPort()));
    const StatusRecord record = Nis::parseStatus(raw.ask(QByteArrayLiteral("status")).text);
    const QStringList changing{QStringLiteral("DATE"),     QStringLiteral("END APC"),
                               QStringLiteral("APC"),      QStringLiteral("TONBATT"),
                               QStringLiteral("TIMELEFT"), QStringLiteral("BCHARGE"),
                               QStringLiteral("BATTV")};
    int given = 0;
    for (const QString &key : shownStatusKeys()) {
        const QString value = Nis::lookup(record, key);
        if (value.isEmpty())
            continue;
        ++given;
        if (changing.contains(key))
            QVERIFY2(!client->statusValue(key).isEmpty(), qPrintable(key));
        else
            QCOMPARE(client->statusValue(key), value);
    }
    QVERIFY2(given >= 34, qPrintable(QString::number(given)));

    QTRY_VERIFY_WITH_TIMEOUT(!client->eventLines().isEmpty(), 30000);
    const QStringList events = client->eventLines();
    QVERIFY(events.first().endsWith(QStringLiteral("startup succeeded")));
    QCOMPARE(events.last(), QString());
}

void TestRealApcupsd::clientFollowsPowerFailureAndReturn()
{
    QVERIFY(startSlave());
    startClient(daemon->nisPort());
    QTRY_COMPARE_WITH_TIMEOUT(client->statusValue(QStringLiteral("STATUS")),
                              QStringLiteral("ONLINE SLAVE"), 30000);
    auto eventsText = [this] { return client->eventLines().join(QLatin1Char('\n')); };

    master->model().powerFail();
    QTRY_COMPARE_WITH_TIMEOUT(client->statusValue(QStringLiteral("STATUS")),
                              QStringLiteral("ONBATT SLAVE"), 30000);
    QTRY_VERIFY_WITH_TIMEOUT(eventsText().contains(QStringLiteral("  Power failure.")), 30000);
    // The daemon waits a few seconds on battery before it says so.
    QTRY_VERIFY_WITH_TIMEOUT(eventsText().contains(QStringLiteral("  Running on UPS batteries.")),
                             60000);

    master->model().powerBack();
    QTRY_COMPARE_WITH_TIMEOUT(client->statusValue(QStringLiteral("STATUS")),
                              QStringLiteral("ONLINE SLAVE"), 30000);
    QTRY_VERIFY_WITH_TIMEOUT(
            eventsText().contains(QStringLiteral("  Mains returned. No longer on UPS batteries.")),
            30000);
    QVERIFY(client->statusValue(QStringLiteral("XONBATT")).size() > 0);
    const QStringList calls = daemon->apccontrolCalls();
    QVERIFY2(calls.join(QLatin1Char('|')).contains(QStringLiteral("powerout")),
             qPrintable(calls.join(QLatin1Char('|'))));
}

void TestRealApcupsd::lowBatteryShutsDownThroughTheStub()
{
    QVERIFY(startSlave());
    startClient(daemon->nisPort());
    QTRY_COMPARE_WITH_TIMEOUT(client->statusValue(QStringLiteral("STATUS")),
                              QStringLiteral("ONLINE SLAVE"), 30000);

    master->model().lowBattery();
    QTRY_COMPARE_WITH_TIMEOUT(client->statusValue(QStringLiteral("STATUS")),
                              QStringLiteral("SHUTTING DOWN"), 60000);
    // The daemon asked for the shutdown; only our stub heard it.
    QTRY_VERIFY_WITH_TIMEOUT(
            daemon->apccontrolCalls().join(QLatin1Char('|')).contains(QStringLiteral("doshutdown")),
            30000);
}

void TestRealApcupsd::severalRequestsOnOneConnectionThenIdleDrop()
{
    QVERIFY(startSlave());
    RawClient raw;
    QVERIFY(raw.open(daemon->nisPort()));
    for (int i = 0; i < 3; ++i) {
        const NisChannel::Reply status = raw.ask(QByteArrayLiteral("status"));
        QVERIFY(status.isComplete());
        QVERIFY(Nis::isStatusReply(status.text));
        const NisChannel::Reply events = raw.ask(QByteArrayLiteral("events"));
        QVERIFY(events.isComplete());
        QVERIFY(!events.text.isEmpty());
    }
    // The daemon drops a client that sends nothing for 15 s; the polling loop
    // asks every 1.1 s and is never dropped.
    QVERIFY(raw.socket.waitForDisconnected(40000) ||
            raw.socket.state() == QAbstractSocket::UnconnectedState);
}

void TestRealApcupsd::invalidCommand()
{
    QVERIFY(startSlave());
    QTcpSocket socket;
    QVERIFY(NisChannel::connectSocket(socket, QStringLiteral("127.0.0.1"), daemon->nisPort(),
                                      5000));
    NisChannel channel(&socket);
    channel.sendRequest(QByteArrayLiteral("state"));
    char record[NisChannel::recordCapacity];
    const int length = channel.readRecord(record, NisChannel::recordCapacity);
    QCOMPARE(QByteArray(record, qMax(0, length)), QByteArray("Invalid command\n\0", 17));
    QCOMPARE(channel.readRecord(record, NisChannel::recordCapacity), 0);
}

void TestRealApcupsd::atMostFiftyEventLines()
{
    ApcupsdFixture::Options options;
    for (int i = 1; i <= 80; ++i)
        options.eventLines.append(QStringLiteral("2020-01-01 00:00:00 +0000  line %1").arg(i));
    QVERIFY(startSlave(options));
    startClient(daemon->nisPort());
    QTRY_VERIFY_WITH_TIMEOUT(!client->eventLines().isEmpty(), 30000);

    // The last 50 lines: the newest of ours, then what the daemon wrote since
    // it started (its start-up line, and perhaps more).
    const QStringList events = client->eventLines();
    QCOMPARE(events.size(), 51);
    QCOMPARE(events.last(), QString());
    int started = -1;
    for (int i = 0; i < events.size(); ++i) {
        if (events.at(i).endsWith(QStringLiteral("startup succeeded")))
            started = i;
    }
    QVERIFY(started > 0);
    for (int i = 0; i < started; ++i)
        QCOMPARE(events.at(i),
                 QStringLiteral("2020-01-01 00:00:00 +0000  line %1").arg(80 - started + 1 + i));
}

void TestRealApcupsd::noEventsFile()
{
    ApcupsdFixture::Options options;
    options.withoutEventsFile = true;
    QVERIFY(startSlave(options));

    RawClient raw;
    QVERIFY(raw.open(daemon->nisPort()));
    raw.channel.sendRequest(QByteArrayLiteral("events"));
    char record[NisChannel::recordCapacity];
    const int length = raw.channel.readRecord(record, NisChannel::recordCapacity);
    QCOMPARE(QByteArray(record, qMax(0, length)), QByteArray("Not available\n\0", 15));

    // The client shows the text before the zero byte.
    startClient(daemon->nisPort());
    QTRY_COMPARE_WITH_TIMEOUT(client->eventLines(),
                              (QStringList{QStringLiteral("Not available"), QString()}), 30000);
}

QTEST_GUILESS_MAIN(TestRealApcupsd)
#include "tst_realapcupsd.moc"
