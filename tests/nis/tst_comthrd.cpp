// The polling thread against the simulator as a real peer on loopback: what it
// stores, announces and traces, how it follows changes of the connection, how
// it stops and starts, and how it survives servers that misbehave.

#include "apcupsdfixture.h"
#include "comthrd.h"
#include "logs.h"
#include "registry.h"
#include "upssimulator.h"

#include <QFile>
#include <QMutex>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#if defined(__SANITIZE_ADDRESS__)
#define VOLTRINE_ASAN
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VOLTRINE_ASAN
#endif
#endif
#ifdef VOLTRINE_ASAN
// The sanitizer runtime's count of the heap in use (GCC ships no header for it).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace {

const auto stoppedLine = QStringLiteral("Lisening to apcupsd service stoped.");

// What this process keeps in memory, in KiB, or -1 where that cannot be told:
// its resident memory. Under AddressSanitizer the heap still allocated
// instead, since the sanitizer holds freed memory back in its quarantine and
// keeps shadow memory beside it, both of which resident memory counts.
qint64 keptKiB()
{
#ifdef VOLTRINE_ASAN
    return qint64(__sanitizer_get_current_allocated_bytes() / 1024);
#else
    QFile file(QStringLiteral("/proc/self/status"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return -1;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
#endif
}

} // namespace

class TestCOMThrd : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void daemonAbsent();
    void firstReplyThenDaemonGone();
    void connectionChanged_data();
    void connectionChanged();
    void sameConnectionAgain();
    void portNotANumber();
    void stopDuringCycle();
    void startAfterStop_data();
    void startAfterStop();
    void restartAtEveryPointOfACycle();
    void misbehaviour_data();
    void misbehaviour();
    void stopAndWaitCutsStreamsShort_data();
    void stopAndWaitCutsStreamsShort();
    void stopEndsWithinBoundsOfEndlessReplies();

private:
    // The trace messages written so far, without their stamps.
    QStringList traced() const;
    int tracedCount(const QString &message) const;
    void startClient(quint16 port, const QString &host = QStringLiteral("127.0.0.1"));

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<Logs> logs;
    std::unique_ptr<Registry> registry;
    std::unique_ptr<UpsSimulator> sim;
    std::unique_ptr<COMThrd> client;
};

void TestCOMThrd::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    logs = std::make_unique<Logs>(dir->filePath(QStringLiteral("Trace.log")));
    registry = std::make_unique<Registry>(logs.get(), dir->filePath(QStringLiteral("confdata")));
    sim = std::make_unique<UpsSimulator>();
    QVERIFY(sim->listen());
}

void TestCOMThrd::cleanup()
{
    if (client) {
        QVERIFY(client->stopAndWait(10000));
        client.reset();
    }
    sim.reset();
    registry.reset();
    logs.reset();
    dir.reset();
}

QStringList TestCOMThrd::traced() const
{
    QFile file(logs->filePath());
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    QStringList messages;
    for (const QString &line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'))) {
        const int stampEnd = line.indexOf(QStringLiteral("]: "));
        if (line.startsWith(QLatin1String("Log:[")) && stampEnd > 0)
            messages.append(line.mid(stampEnd + 3));
    }
    return messages;
}

int TestCOMThrd::tracedCount(const QString &message) const
{
    return traced().count(message);
}

void TestCOMThrd::startClient(quint16 port, const QString &host)
{
    registry->setKey(QStringLiteral("upshost"), host);
    registry->setKey(QStringLiteral("upsport"), QString::number(port));
    client = std::make_unique<COMThrd>(registry.get(), logs.get());
    client->start();
}

void TestCOMThrd::daemonAbsent()
{
    const quint16 port = freeLoopbackPort();
    startClient(port);
    QSignalSpy statusSpy(client.get(), &COMThrd::StatusDataReady);
    QSignalSpy eventsSpy(client.get(), &COMThrd::EventsDataReady);
    const QString cannotOpen = QStringLiteral("Can not open 127.0.0.1:") + QString::number(port);

    QTRY_VERIFY_WITH_TIMEOUT(tracedCount(cannotOpen) >= 4, 60000);
    client->stop();
    QTRY_VERIFY_WITH_TIMEOUT(client->isFinished(), 30000);

    const QStringList messages = traced();
    QCOMPARE(messages.last(), stoppedLine);
    QVERIFY(messages.contains(QStringLiteral("Start lisening to apcupsd service from 127.0.0.1:") +
                              QString::number(port)));
    // Every whole cycle tried both connections.
    QCOMPARE(messages.count(cannotOpen) % 2, 0);
    QCOMPARE(statusSpy.count(), 0);
    QCOMPARE(eventsSpy.count(), 0);
    QCOMPARE(client->statusValue(QStringLiteral("STATUS")), QString());
    QCOMPARE(client->eventLines(), QStringList());
}

void TestCOMThrd::firstReplyThenDaemonGone()
{
    const quint16 port = sim->port();
    startClient(port);
    QSignalSpy statusSpy(client.get(), &COMThrd::StatusDataReady);
    QSignalSpy eventsSpy(client.get(), &COMThrd::EventsDataReady);
    QTRY_VERIFY_WITH_TIMEOUT(statusSpy.count() >= 1 && eventsSpy.count() >= 1, 30000);

    QCOMPARE(client->statusValue(QStringLiteral("STATUS")), QStringLiteral("ONLINE"));
    QCOMPARE(client->statusValue(QStringLiteral("UPSNAME")), QStringLiteral("upssim"));
    QCOMPARE(client->statusValue(QStringLiteral("END APC")).isEmpty(), false);
    const QStringList events = client->eventLines();
    QCOMPARE(events, sim->model().eventLines() << QString());
    const QString address = QStringLiteral("127.0.0.1:") + QString::number(port);
    QVERIFY(traced().contains(QStringLiteral("Status client connected to ") + address));
    QVERIFY(traced().contains(QStringLiteral("Event client connected to ") + address));

    const QString model = client->statusValue(QStringLiteral("MODEL"));
    sim.reset();
    QTRY_VERIFY_WITH_TIMEOUT(tracedCount(QStringLiteral("Can not open ") + address) >= 2, 60000);
    QCOMPARE(client->statusValue(QStringLiteral("STATUS")), QStringLiteral("ONLINE"));
    QCOMPARE(client->statusValue(QStringLiteral("MODEL")), model);
    QCOMPARE(client->eventLines(), events);
}

void TestCOMThrd::connectionChanged_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("newPort");
    QTest::addColumn<bool>("ipv6");
    QTest::newRow("port") << QStringLiteral("127.0.0.1") << true << false;
    QTest::newRow("host only") << QStringLiteral("localhost") << false << false;
    QTest::newRow("IPv6 address in brackets") << QStringLiteral("[::1]") << true << true;
}

void TestCOMThrd::connectionChanged()
{
    QFETCH(QString, host);
    QFETCH(bool, newPort);
    QFETCH(bool, ipv6);

    startClient(sim->port());
    QTRY_COMPARE_WITH_TIMEOUT(client->statusValue(QStringLiteral("UPSNAME")),
                              QStringLiteral("upssim"), 30000);

    UpsSimulator other;
    if (newPort) {
        if (!other.listen(0, ipv6 ? QHostAddress::LocalHostIPv6 : QHostAddress::LocalHost))
            QSKIP("this loopback address is not available here");
        other.model().setValue(QStringLiteral("UPSNAME"), QStringLiteral("other"));
    }
    const quint16 port = newPort ? other.port() : sim->port();
    client->setConnection(host, QString::number(port));

    const QString expectedName = newPort ? QStringLiteral("other") : QStringLiteral("upssim");
    const QString connected = QStringLiteral("Status client connected to ") + host +
            QLatin1Char(':') + QString::number(port);
    QTRY_VERIFY_WITH_TIMEOUT(traced().contains(connected), 30000);
    QVERIFY(traced().contains(QStringLiteral("Connection info edited, restarting connection")));
    QTRY_COMPARE_WITH_TIMEOUT(client->statusValue(QStringLiteral("UPSNAME")), expectedName, 30000);
    QCOMPARE(client->host(), host);
    QCOMPARE(client->port(), port);

    // Saved for the next start of the program.
    Registry reloaded(logs.get(), dir->filePath(QStringLiteral("confdata")));
    QCOMPARE(reloaded.getKey(QStringLiteral("upshost")), host);
    QCOMPARE(reloaded.getKey(QStringLiteral("upsport")), QString::number(port));
}

void TestCOMThrd::sameConnectionAgain()
{
    startClient(sim->port());
    QSignalSpy statusSpy(client.get(), &COMThrd::StatusDataReady);
    // Both connections are open once the first event list is stored.
    QTRY_VERIFY_WITH_TIMEOUT(!client->eventLines().isEmpty(), 30000);
    QFile confdata(dir->filePath(QStringLiteral("confdata")));
    QVERIFY(confdata.open(QIODevice::ReadOnly));
    const QByteArray before = confdata.readAll();
    confdata.close();
    QSignalSpy connections(sim.get(), &UpsSimulator::connectionOpened);

    client->setConnection(QStringLiteral("127.0.0.1"), QString::number(sim->port()));
    const int seen = statusSpy.count();
    QTRY_VERIFY_WITH_TIMEOUT(statusSpy.count() >= seen + 2, 30000);

    QCOMPARE(tracedCount(QStringLiteral("Connection info edited, restarting connection")), 0);
    QCOMPARE(connections.count(), 0);
    QVERIFY(confdata.open(QIODevice::ReadOnly));
    QCOMPARE(confdata.readAll(), before);
}

void TestCOMThrd::portNotANumber()
{
    startClient(sim->port());
    client->setConnection(QStringLiteral("127.0.0.1"), QStringLiteral("3551x"));
    QCOMPARE(registry->getKey(QStringLiteral("upsport")), QStringLiteral("3551x"));
    QCOMPARE(client->port(), quint16(0));
    QTRY_VERIFY_WITH_TIMEOUT(traced().contains(QStringLiteral("Can not open 127.0.0.1:0")), 30000);

    // A good port again brings the data back.
    client->setConnection(QStringLiteral("127.0.0.1"), QString::number(sim->port()));
    QTRY_COMPARE_WITH_TIMEOUT(client->statusValue(QStringLiteral("UPSNAME")),
                              QStringLiteral("upssim"), 30000);
}

void TestCOMThrd::stopDuringCycle()
{
    startClient(sim->port());
    QSignalSpy statusSpy(client.get(), &COMThrd::StatusDataReady);
    QSignalSpy eventsSpy(client.get(), &COMThrd::EventsDataReady);
    // Asked on the polling thread right after the first status was stored.
    COMThrd *polling = client.get();
    connect(
            polling, &COMThrd::StatusDataReady, polling, [polling] { polling->stop(); },
            Qt::DirectConnection);

    QTRY_VERIFY_WITH_TIMEOUT(client->isFinished(), 30000);
    // The cycle went on to its events reply and its pauses before the loop ended.
    QCOMPARE(statusSpy.count(), 1);
    QCOMPARE(eventsSpy.count(), 1);
    QCOMPARE(traced().last(), stoppedLine);
    QCOMPARE(client->statusValue(QStringLiteral("STATUS")), QStringLiteral("ONLINE"));
}

void TestCOMThrd::startAfterStop_data()
{
    QTest::addColumn<bool>("waitForEnd");
    QTest::newRow("start right after stop") << false;
    QTest::newRow("start after stopAndWait") << true;
}

void TestCOMThrd::startAfterStop()
{
    QFETCH(bool, waitForEnd);
    startClient(sim->port());
    QSignalSpy statusSpy(client.get(), &COMThrd::StatusDataReady);
    QTRY_VERIFY_WITH_TIMEOUT(statusSpy.count() >= 1, 30000);

    if (waitForEnd)
        QVERIFY(client->stopAndWait(10000));
    else
        client->stop();
    client->start();

    const int seen = statusSpy.count();
    sim->model().powerFail();
    QTRY_VERIFY_WITH_TIMEOUT(statusSpy.count() >= seen + 2, 30000);
    QTRY_COMPARE_WITH_TIMEOUT(client->statusValue(QStringLiteral("STATUS")),
                              QStringLiteral("ONBATT"), 30000);
    QVERIFY(client->isRunning());
}

void TestCOMThrd::restartAtEveryPointOfACycle()
{
    startClient(sim->port());
    QSignalSpy statusSpy(client.get(), &COMThrd::StatusDataReady);
    QTRY_VERIFY_WITH_TIMEOUT(statusSpy.count() >= 1, 30000);
    // The stop lands at different places of the 1.1 s cycle; whatever the
    // place, the start that follows leaves the thread polling.
    for (int delay = 0; delay <= 1100; delay += 220) {
        client->stop();
        QTest::qWait(delay);
        client->start();
        const int seen = statusSpy.count();
        QTRY_VERIFY_WITH_TIMEOUT(statusSpy.count() >= seen + 1, 30000);
    }
    QVERIFY(client->isRunning());
}

void TestCOMThrd::misbehaviour_data()
{
    using M = UpsSimulator::Misbehaviour;
    QTest::addColumn<M>("kind");
    QTest::addColumn<int>("target");
    // Whether the misbehaving status reply is still a valid one to store.
    QTest::addColumn<bool>("accepted");

    QTest::newRow("record over 5000 bytes") << M::LongRecord << int(UpsSimulator::Status) << false;
    QTest::newRow("endless records") << M::Endless << int(UpsSimulator::Status) << false;
    QTest::newRow("slow endless records") << M::SlowRecords << int(UpsSimulator::Status) << false;
    QTest::newRow("one byte at a time") << M::Trickle << int(UpsSimulator::Status) << false;
    QTest::newRow("zero byte in a record") << M::ZeroByte << int(UpsSimulator::Status) << true;
    QTest::newRow("no END APC") << M::NoEnd << int(UpsSimulator::Status) << false;
    QTest::newRow("closed mid-record") << M::CloseMidRecord << int(UpsSimulator::Status) << false;
    QTest::newRow("garbage") << M::Garbage << int(UpsSimulator::Status) << false;
    QTest::newRow("markup") << M::Markup << int(UpsSimulator::Status) << true;
    QTest::newRow("silence") << M::Silent << int(UpsSimulator::Status) << false;
    QTest::newRow("endless events") << M::Endless << int(UpsSimulator::Events) << true;
    QTest::newRow("garbage events") << M::Garbage << int(UpsSimulator::Events) << true;
    QTest::newRow("zero byte in events") << M::ZeroByte << int(UpsSimulator::Events) << true;
    QTest::newRow("markup in events") << M::Markup << int(UpsSimulator::Events) << true;
}

void TestCOMThrd::misbehaviour()
{
    QFETCH(UpsSimulator::Misbehaviour, kind);
    QFETCH(int, target);
    QFETCH(bool, accepted);
    const QString command =
            target == UpsSimulator::Status ? QStringLiteral("status") : QStringLiteral("events");

    startClient(sim->port());
    // What the connections below record. They share it, because the polling
    // thread may still announce a status after this function has returned,
    // until cleanup() stops it.
    struct Seen
    {
        QMutex mutex;
        // What each stored status said, taken on the polling thread as it was stored.
        QStringList names;
        QStringList models;
        qint64 mostSentOnAConnection = 0;
        bool served = false;
    };
    const auto seen = std::make_shared<Seen>();
    COMThrd *polling = client.get();
    connect(
            polling, &COMThrd::StatusDataReady, polling,
            [seen, polling] {
                QMutexLocker locker(&seen->mutex);
                seen->names.append(polling->statusValue(QStringLiteral("UPSNAME")));
                seen->models.append(polling->statusValue(QStringLiteral("MODEL")));
            },
            Qt::DirectConnection);
    QTRY_VERIFY_WITH_TIMEOUT(!client->eventLines().isEmpty(), 30000);
    const qint64 memoryBefore = keptKiB();

    // Only the misbehaving reply carries "during"; the replies after it say "after".
    sim->setStreamInterval(300);
    sim->model().setValue(QStringLiteral("UPSNAME"), QStringLiteral("during"));
    sim->misbehave(kind, target, 1);
    connect(sim.get(), &UpsSimulator::connectionClosed, this, [seen](qint64 sent) {
        seen->mostSentOnAConnection = qMax(seen->mostSentOnAConnection, sent);
    });
    UpsSimulator *server = sim.get();
    connect(sim.get(), &UpsSimulator::requestServed, this,
            [seen, server, command, kind](const QString &request, UpsSimulator::Misbehaviour how) {
                if (request != command || how != kind)
                    return;
                seen->served = true;
                server->model().setValue(QStringLiteral("UPSNAME"), QStringLiteral("after"));
                server->model().addEvent(QStringLiteral("after"));
            });
    QTRY_VERIFY_WITH_TIMEOUT(seen->served, 30000);

    // The thread lives on and takes the next good replies.
    QTRY_COMPARE_WITH_TIMEOUT(client->statusValue(QStringLiteral("UPSNAME")),
                              QStringLiteral("after"), 60000);
    QTRY_VERIFY_WITH_TIMEOUT(
            client->eventLines().join(QLatin1Char('\n')).contains(QStringLiteral("  after")),
            60000);
    QVERIFY(client->isRunning());

    QStringList storedNames;
    {
        QMutexLocker locker(&seen->mutex);
        storedNames = seen->names;
        if (kind == UpsSimulator::Misbehaviour::Markup && target == UpsSimulator::Status) {
            // Stored as the text it is.
            const int markup = storedNames.indexOf(
                    QStringLiteral("<a href=\"https://example.invalid/\">click me</a>"));
            QVERIFY(markup >= 0);
            QVERIFY(seen->models.value(markup).startsWith(QStringLiteral("<img src=")));
        } else if (target == UpsSimulator::Status) {
            QCOMPARE(storedNames.contains(QStringLiteral("during")), accepted);
        }
    }
    const QString events = client->eventLines().join(QLatin1Char('\n'));
    QVERIFY(!events.contains(QStringLiteral("junk")));
    for (const QString &name : qAsConst(storedNames))
        QVERIFY(!name.contains(QStringLiteral("junk")));
    // A reply is given up at its size bound: what a connection carried stays
    // far below what an unbounded reader would take in meanwhile.
    QVERIFY2(seen->mostSentOnAConnection < 64 * 1024 * 1024,
             qPrintable(QString::number(seen->mostSentOnAConnection)));
    if (memoryBefore > 0) {
        const qint64 grownKiB = keptKiB() - memoryBefore;
        QVERIFY2(grownKiB < 64 * 1024,
                 qPrintable(QString::number(grownKiB) + QStringLiteral(" KiB")));
    }
}

void TestCOMThrd::stopAndWaitCutsStreamsShort_data()
{
    using M = UpsSimulator::Misbehaviour;
    QTest::addColumn<M>("kind");
    QTest::newRow("endless records") << M::Endless;
    QTest::newRow("slow endless records") << M::SlowRecords;
    QTest::newRow("one byte at a time") << M::Trickle;
    QTest::newRow("silence") << M::Silent;
}

void TestCOMThrd::stopAndWaitCutsStreamsShort()
{
    QFETCH(UpsSimulator::Misbehaviour, kind);
    sim->setStreamInterval(1000);
    sim->misbehave(kind, UpsSimulator::Both, -1);
    QSignalSpy served(sim.get(), &UpsSimulator::requestServed);
    startClient(sim->port());
    QTRY_VERIFY_WITH_TIMEOUT(served.count() >= 1, 30000);

    // Well below the 15 s that the reply could still take.
    QVERIFY(client->stopAndWait(5000));
    QCOMPARE(traced().last(), stoppedLine);
    // The stored data and its lock stay usable.
    QCOMPARE(client->statusValue(QStringLiteral("STATUS")), QString());
    QCOMPARE(client->eventLines(), QStringList());
}

void TestCOMThrd::stopEndsWithinBoundsOfEndlessReplies()
{
    sim->misbehave(UpsSimulator::Misbehaviour::Endless, UpsSimulator::Both, -1);
    QSignalSpy closed(sim.get(), &UpsSimulator::connectionClosed);
    startClient(sim->port());
    // The client gives up each endless reply at its size bound and drops the connection.
    QTRY_VERIFY_WITH_TIMEOUT(closed.count() >= 2, 60000);
    client->stop();
    QTRY_VERIFY_WITH_TIMEOUT(client->isFinished(), 60000);
    QCOMPARE(traced().last(), stoppedLine);
}

QTEST_GUILESS_MAIN(TestCOMThrd)
#include "tst_comthrd.moc"
