// The wire side of the client: request bytes, the record reader with its
// limits, and the bounds of a whole reply, on byte buffers (among them the
// replies captured from apcupsd) and on real sockets to the simulator.

#include "abortsignal.h"
#include "nischannel.h"
#include "statusrecord.h"
#include "upssimulator.h"

#include <QBuffer>
#include <QTcpSocket>
#include <QThread>
#include <QtTest>

#include <thread>

Q_DECLARE_METATYPE(NisChannel::ReplyEnd)

namespace QTest {
template<> char *toString(const NisChannel::ReplyEnd &end)
{
    static const char *const names[] = {"Complete", "ReadError", "TooLarge", "TooSlow", "Aborted"};
    return qstrdup(names[int(end)]);
}
} // namespace QTest

namespace {

QByteArray record(const QByteArray &bytes)
{
    QByteArray framed;
    framed.append(char((bytes.size() >> 8) & 0xff));
    framed.append(char(bytes.size() & 0xff));
    return framed + bytes;
}

const QByteArray endOfReply(2, '\0');

QByteArray sample(const char *name)
{
    QFile file(QFINDTESTDATA(QStringLiteral("data/") + QLatin1String(name)));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

NisChannel::Reply readFrom(const QByteArray &bytes)
{
    QByteArray data = bytes;
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    NisChannel channel(&buffer);
    return channel.readReply();
}

// The simulator on a thread of its own, so that the test can read from it
// with blocking waits.
class SimulatorThread
{
public:
    explicit SimulatorThread(const QHostAddress &address = QHostAddress::LocalHost)
    {
        thread.start();
        sim = new UpsSimulator;
        sim->moveToThread(&thread);
        QMetaObject::invokeMethod(
                sim, [this, address] { listening = sim->listen(0, address); },
                Qt::BlockingQueuedConnection);
    }
    ~SimulatorThread()
    {
        QMetaObject::invokeMethod(
                sim, [this] { delete sim; }, Qt::BlockingQueuedConnection);
        thread.quit();
        thread.wait();
    }
    template<typename Function> void run(Function function)
    {
        QMetaObject::invokeMethod(
                sim, [this, function] { function(*sim); }, Qt::BlockingQueuedConnection);
    }
    quint16 port() { return sim->port(); }
    bool listening = false;

private:
    QThread thread;
    UpsSimulator *sim = nullptr;
};

} // namespace

class TestNisChannel : public QObject
{
    Q_OBJECT

private slots:
    void request();
    void readRecordResults_data();
    void readRecordResults();
    void replies_data();
    void replies();
    void capturedStatus();
    void capturedEvents();
    void hostForConnect_data();
    void hostForConnect();
    void socketReplies_data();
    void socketReplies();
    void slowStreamEndsAtTimeBound();
    void abortCutsWaitShort();
    void bracketedIpv6Host();
};

void TestNisChannel::request()
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    NisChannel channel(&buffer);
    channel.sendRequest(QByteArrayLiteral("status"));
    QCOMPARE(buffer.data(), QByteArray::fromHex("00067374617475 73"));
    buffer.buffer().clear();
    buffer.seek(0);
    channel.sendRequest(QByteArrayLiteral("events"));
    QCOMPARE(buffer.data(), QByteArray::fromHex("0006 6576656E7473"));
}

void TestNisChannel::readRecordResults_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QList<int>>("results");
    QTest::newRow("one record and the end") << record("ab\n") + endOfReply << QList<int>{3, 0};
    QTest::newRow("exactly 5000 bytes") << record(QByteArray(5000, 'x')) << QList<int>{5000};
    QTest::newRow("5001 bytes") << record(QByteArray(5001, 'x')) << QList<int>{-1};
    QTest::newRow("one length byte") << QByteArray(1, '\0') << QList<int>{-1};
    QTest::newRow("nothing") << QByteArray() << QList<int>{0};
    QTest::newRow("body cut short") << record("abcdef").left(5) << QList<int>{-1};
    QTest::newRow("body missing") << QByteArray::fromHex("0004") << QList<int>{0};
}

void TestNisChannel::readRecordResults()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QList<int>, results);
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    NisChannel channel(&buffer);
    char data[NisChannel::recordCapacity];
    for (int expected : results)
        QCOMPARE(channel.readRecord(data, NisChannel::recordCapacity), expected);
}

void TestNisChannel::replies_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    QTest::addColumn<NisChannel::ReplyEnd>("end");
    using E = NisChannel::ReplyEnd;

    QTest::newRow("empty reply") << endOfReply << QString() << E::Complete;
    QTest::newRow("record of 5000 accepted")
            << record(QByteArray(4999, 'a') + '\n') + endOfReply
            << QString(4999, QLatin1Char('a')) + QLatin1Char('\n') << E::Complete;
    QTest::newRow("record of 5001 ends the reply")
            << record("A\n") + record(QByteArray(5001, 'b')) + record("C\n") + endOfReply
            << QStringLiteral("A\n") << E::ReadError;
    QTest::newRow("zero byte cuts the record")
            << record(QByteArray("Not available\n\0junk", 19)) + endOfReply
            << QStringLiteral("Not available\n") << E::Complete;
    QTest::newRow("zero byte inside a line")
            << record(QByteArray("MODEL : Back\0-UPS\n", 18)) + record("B\n") + endOfReply
            << QStringLiteral("MODEL : BackB\n") << E::Complete;
    QTest::newRow("UTF-8 decoded")
            << record("caf\xc3\xa9\n") + endOfReply
            << (QStringLiteral("caf") + QChar(0xe9) + QLatin1Char('\n')) << E::Complete;
    QTest::newRow("no closing record")
            << record("A\n") + record("B\n") << QStringLiteral("A\nB\n") << E::ReadError;
    QTest::newRow("short body") << record("A\n") + record("0123456789").left(7)
                                << QStringLiteral("A\n") << E::ReadError;

    // 256 records of 4096 bytes are exactly 1 MiB; one byte more is too much.
    // The reply that is too large keeps what came within the limit.
    QByteArray mebibyte;
    for (int i = 0; i < 256; ++i)
        mebibyte += record(QByteArray(4095, 'm') + '\n');
    const QString mebibyteText =
            QString(QString(4095, QLatin1Char('m')) + QLatin1Char('\n')).repeated(256);
    QTest::newRow("exactly 1 MiB") << mebibyte + endOfReply << mebibyteText << E::Complete;
    QTest::newRow("more than 1 MiB")
            << mebibyte + record("x") + endOfReply << mebibyteText << E::TooLarge;
}

void TestNisChannel::replies()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    QFETCH(NisChannel::ReplyEnd, end);
    const NisChannel::Reply reply = readFrom(bytes);
    QCOMPARE(reply.end, end);
    QCOMPARE(reply.text, text);
    QVERIFY(reply.text.size() <= NisChannel::replyByteLimit);
}

void TestNisChannel::capturedStatus()
{
    const QByteArray bytes = sample("apcupsd-3.14.14-net-slave-status.reply");
    QVERIFY(!bytes.isEmpty());
    const NisChannel::Reply reply = readFrom(bytes);
    QVERIFY(reply.isComplete());
    QVERIFY(Nis::isStatusReply(reply.text));
    const StatusRecord status = Nis::parseStatus(reply.text);
    QCOMPARE(status.size(), 39);
    QCOMPARE(status.first().first, QStringLiteral("APC"));
    QCOMPARE(status.last().first, QStringLiteral("END APC"));
    QCOMPARE(Nis::lookup(status, QStringLiteral("APC")), QStringLiteral("001,038,0966"));
    QCOMPARE(Nis::lookup(status, QStringLiteral("STATUS")), QStringLiteral("ONLINE SLAVE"));
    QCOMPARE(Nis::lookup(status, QStringLiteral("DATE")),
             QStringLiteral("2026-12-07 05:19:17 +0000"));
    QCOMPARE(Nis::lookup(status, QStringLiteral("STARTTIME")),
             QStringLiteral("2026-12-07 05:02:44 +0000"));
    QCOMPARE(Nis::lookup(status, QStringLiteral("FIRMWARE")),
             QStringLiteral("871.O2 .I USB FW:O2"));
    QCOMPARE(Nis::lookup(status, QStringLiteral("END APC")),
             QStringLiteral("2026-12-07 05:19:18 +0000"));
    QCOMPARE(Nis::lookup(status, QStringLiteral("ALARMDEL")), QString());
}

void TestNisChannel::capturedEvents()
{
    const QByteArray bytes = sample("apcupsd-3.14.14-net-slave-events.reply");
    QVERIFY(!bytes.isEmpty());
    const NisChannel::Reply reply = readFrom(bytes);
    QVERIFY(reply.isComplete());
    const QStringList lines = Nis::splitEvents(reply.text);
    QCOMPARE(lines.size(), 8);
    QCOMPARE(lines.at(1), QStringLiteral("2026-12-07 05:03:10 +0000  Power failure."));
    QCOMPARE(lines.at(3), QStringLiteral("2026-12-07 05:03:12 +0000  Running on UPS batteries."));
    QCOMPARE(lines.last(), QString());
}

void TestNisChannel::hostForConnect_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("expected");
    QTest::newRow("bracketed IPv6") << QStringLiteral("[::1]") << QStringLiteral("::1");
    QTest::newRow("name") << QStringLiteral("localhost") << QStringLiteral("localhost");
    QTest::newRow("IPv4") << QStringLiteral("127.0.0.1") << QStringLiteral("127.0.0.1");
    QTest::newRow("bare IPv6") << QStringLiteral("::1") << QStringLiteral("::1");
    QTest::newRow("one bracket") << QStringLiteral("[::1") << QStringLiteral("[::1");
}

void TestNisChannel::hostForConnect()
{
    QFETCH(QString, host);
    QFETCH(QString, expected);
    QCOMPARE(NisChannel::hostForConnect(host), expected);
}

void TestNisChannel::socketReplies_data()
{
    QTest::addColumn<bool>("quickAck");
    QTest::newRow("with quick acknowledgement") << true;
    QTest::newRow("without") << false;
}

void TestNisChannel::socketReplies()
{
    QFETCH(bool, quickAck);
    SimulatorThread sim;
    QVERIFY(sim.listening);
    QByteArray expectedEvents;
    sim.run([&](UpsSimulator &s) { expectedEvents = s.eventsReply(); });

    QTcpSocket socket;
    QVERIFY(NisChannel::connectSocket(socket, QStringLiteral("127.0.0.1"), sim.port(), 5000));
    NisChannel channel(&socket);
    channel.setQuickAck(quickAck);
    // Several requests on one connection, as the polling loop makes them.
    for (int i = 0; i < 3; ++i) {
        channel.sendRequest(QByteArrayLiteral("status"));
        const NisChannel::Reply status = channel.readReply();
        QVERIFY(status.isComplete());
        QVERIFY(Nis::isStatusReply(status.text));
        channel.sendRequest(QByteArrayLiteral("events"));
        const NisChannel::Reply events = channel.readReply();
        QVERIFY(events.isComplete());
        QCOMPARE(events.text, readFrom(expectedEvents).text);
    }
    channel.sendRequest(QByteArrayLiteral("other"));
    QCOMPARE(channel.readReply().text, QStringLiteral("Invalid command\n"));
}

void TestNisChannel::slowStreamEndsAtTimeBound()
{
    SimulatorThread sim;
    QVERIFY(sim.listening);
    sim.run([](UpsSimulator &s) {
        // Like apcupsd, the simulator drops a client idle for 15 s, which
        // would end the reply at about the same time as its bound.
        s.setIdleTimeout(0);
        s.setStreamInterval(300);
        s.misbehave(UpsSimulator::Misbehaviour::SlowRecords);
    });
    QTcpSocket socket;
    QVERIFY(NisChannel::connectSocket(socket, QStringLiteral("127.0.0.1"), sim.port(), 5000));
    NisChannel channel(&socket);
    channel.sendRequest(QByteArrayLiteral("status"));
    const NisChannel::Reply reply = channel.readReply();
    QCOMPARE(reply.end, NisChannel::ReplyEnd::TooSlow);
    // Records kept coming the whole time; only the bound ended the reply.
    QVERIFY2(reply.text.count(QStringLiteral("SLOW")) >= 10, qPrintable(reply.text));
}

void TestNisChannel::abortCutsWaitShort()
{
    SimulatorThread sim;
    QVERIFY(sim.listening);
    sim.run([](UpsSimulator &s) { s.misbehave(UpsSimulator::Misbehaviour::Silent); });
    QTcpSocket socket;
    AbortSignal abort;
    QVERIFY(NisChannel::connectSocket(socket, QStringLiteral("127.0.0.1"), sim.port(), 5000,
                                      &abort));
    NisChannel channel(&socket, &abort);
    channel.sendRequest(QByteArrayLiteral("status"));
    std::thread aborter([&abort] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        abort.set();
    });
    const NisChannel::Reply reply = channel.readReply();
    aborter.join();
    // A silent server would otherwise end the reply by time-out, as a read error.
    QCOMPARE(reply.end, NisChannel::ReplyEnd::Aborted);

    // Once aborted, nothing more is sent.
    const qint64 written = socket.bytesToWrite();
    channel.sendRequest(QByteArrayLiteral("status"));
    QCOMPARE(socket.bytesToWrite(), written);
}

void TestNisChannel::bracketedIpv6Host()
{
    SimulatorThread sim(QHostAddress::LocalHostIPv6);
    if (!sim.listening)
        QSKIP("IPv6 loopback is not available here");
    QTcpSocket socket;
    QVERIFY(NisChannel::connectSocket(socket, QStringLiteral("[::1]"), sim.port(), 5000));
    QCOMPARE(socket.peerAddress(), QHostAddress(QHostAddress::LocalHostIPv6));
    NisChannel channel(&socket);
    channel.sendRequest(QByteArrayLiteral("status"));
    QVERIFY(Nis::isStatusReply(channel.readReply().text));
}

QTEST_GUILESS_MAIN(TestNisChannel)
#include "tst_nischannel.moc"
