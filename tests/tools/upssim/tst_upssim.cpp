// The UPS simulator that the other tests and the demo rely on: the states it
// plays and their STATFLAG bits, the layout of its replies, its commands and
// scenarios, and its behaviour as a server.

#include "nischannel.h"
#include "scenario.h"
#include "statusrecord.h"
#include "upssimulator.h"

#include <QBuffer>
#include <QTcpSocket>
#include <QtTest>

namespace {

StatusRecord statusOf(const UpsSimulator &sim)
{
    QByteArray bytes = sim.statusReply();
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    NisChannel channel(&buffer);
    const NisChannel::Reply reply = channel.readReply();
    if (!reply.isComplete() || !Nis::isStatusReply(reply.text))
        return {};
    return Nis::parseStatus(reply.text);
}

// The event texts after the start-up line, without their dates.
QStringList eventTexts(UpsSimulator &sim)
{
    QStringList texts;
    const QStringList lines = sim.model().eventLines();
    for (const QString &line : lines.mid(1))
        texts.append(line.mid(line.indexOf(QStringLiteral("  ")) + 2));
    return texts;
}

} // namespace

class TestUpsSim : public QObject
{
    Q_OBJECT

private slots:
    void states_data();
    void states();
    void replyLayout();
    void timeRunsOnBattery();
    void valueCommands();
    void badCommands_data();
    void badCommands();
    void fiftyEventLines();
    void scenarioParsing_data();
    void scenarioParsing();
    void scenarioRuns();
    void server();
    void idleClientDropped();
};

void TestUpsSim::states_data()
{
    QTest::addColumn<QStringList>("commands");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("statflag");
    QTest::addColumn<QStringList>("events");

    QTest::newRow("on line") << QStringList() << QStringLiteral("ONLINE")
                             << QStringLiteral("0x05000008") << QStringList();
    QTest::newRow("power failure") << QStringList{QStringLiteral("powerfail")}
                                   << QStringLiteral("ONBATT") << QStringLiteral("0x05000010")
                                   << QStringList{QStringLiteral("Power failure."),
                                                  QStringLiteral("Running on UPS batteries.")};
    QTest::newRow("power back")
            << QStringList{QStringLiteral("onbatt"), QStringLiteral("powerback")}
            << QStringLiteral("ONLINE") << QStringLiteral("0x05000008")
            << QStringList{QStringLiteral("Power failure."),
                           QStringLiteral("Running on UPS batteries."),
                           QStringLiteral("Mains returned. No longer on UPS batteries."),
                           QStringLiteral("Power is back. UPS running on mains.")};
    QTest::newRow("low battery") << QStringList{QStringLiteral("lowbatt")}
                                 << QStringLiteral("ONBATT LOWBATT") << QStringLiteral("0x05000050")
                                 << QStringList{QStringLiteral("Power failure."),
                                                QStringLiteral("Running on UPS batteries."),
                                                QStringLiteral("Battery power exhausted.")};
    QTest::newRow("communication lost")
            << QStringList{QStringLiteral("commlost")} << QStringLiteral("COMMLOST")
            << QStringLiteral("0x05000108")
            << QStringList{QStringLiteral("Communications with UPS lost.")};
    QTest::newRow("communication back")
            << QStringList{QStringLiteral("commlost"), QStringLiteral("commok")}
            << QStringLiteral("ONLINE") << QStringLiteral("0x05000008")
            << QStringList{QStringLiteral("Communications with UPS lost."),
                           QStringLiteral("Communications with UPS restored.")};
    QTest::newRow("self-test") << QStringList{QStringLiteral("selftest 60")}
                               << QStringLiteral("ONBATT") << QStringLiteral("0x05000010")
                               << QStringList{QStringLiteral("UPS Self Test switch to battery.")};
    QTest::newRow("same command twice")
            << QStringList{QStringLiteral("powerfail"), QStringLiteral("powerfail")}
            << QStringLiteral("ONBATT") << QStringLiteral("0x05000010")
            << QStringList{QStringLiteral("Power failure."),
                           QStringLiteral("Running on UPS batteries.")};
}

void TestUpsSim::states()
{
    QFETCH(QStringList, commands);
    QFETCH(QString, status);
    QFETCH(QString, statflag);
    QFETCH(QStringList, events);
    UpsSimulator sim;
    for (const QString &command : commands)
        QVERIFY(sim.execute(command));
    const StatusRecord record = statusOf(sim);
    QCOMPARE(Nis::lookup(record, QStringLiteral("STATUS")), status);
    QCOMPARE(Nis::lookup(record, QStringLiteral("STATFLAG")), statflag);
    QCOMPARE(eventTexts(sim), events);
}

void TestUpsSim::replyLayout()
{
    UpsSimulator sim;
    const StatusRecord record = statusOf(sim);
    QVERIFY(!record.isEmpty());
    QCOMPARE(record.first().first, QStringLiteral("APC"));
    QCOMPARE(record.last().first, QStringLiteral("END APC"));

    // Each line as the daemon pads it; the header counts the lines after it and their bytes.
    const QList<QByteArray> records = sim.statusRecords();
    int bytes = 0;
    for (const QByteArray &line : records.mid(1)) {
        QCOMPARE(line.indexOf(':'), 9);
        QVERIFY(line.endsWith('\n'));
        bytes += line.size();
    }
    QCOMPARE(Nis::lookup(record, QStringLiteral("APC")),
             QStringLiteral("001,%1,%2")
                     .arg(records.size() - 1, 3, 10, QLatin1Char('0'))
                     .arg(bytes, 4, 10, QLatin1Char('0')));
    // Dates end with two blanks and STATUS with one, as with apcupsd.
    QVERIFY(records.at(1).startsWith("DATE     : ") && records.at(1).endsWith("  \n"));
    const int status =
            int(std::find_if(records.begin(), records.end(),
                             [](const QByteArray &r) { return r.startsWith("STATUS "); }) -
                records.begin());
    QCOMPARE(records.at(status), QByteArray("STATUS   : ONLINE \n"));
    QVERIFY(Nis::lookup(record, QStringLiteral("XONBATT")).isEmpty());
    QCOMPARE(Nis::lookup(record, QStringLiteral("XOFFBATT")), QStringLiteral("N/A"));
}

void TestUpsSim::timeRunsOnBattery()
{
    UpsSimulator sim;
    sim.model().powerFail();
    QTRY_VERIFY_WITH_TIMEOUT(Nis::lookup(statusOf(sim), QStringLiteral("TONBATT")) !=
                                     QLatin1String("0 Seconds"),
                             10000);
    const StatusRecord record = statusOf(sim);
    QVERIFY(Nis::lookup(record, QStringLiteral("CUMONBATT")) != QLatin1String("0 Seconds"));
    QVERIFY(Nis::lookup(record, QStringLiteral("BCHARGE")).toDouble() < 100.0);
    QCOMPARE(Nis::lookup(record, QStringLiteral("LINEV")), QStringLiteral("0.0 Volts"));
    QVERIFY(!Nis::lookup(record, QStringLiteral("XONBATT")).isEmpty());
}

void TestUpsSim::valueCommands()
{
    UpsSimulator sim;
    QVERIFY(sim.execute(QStringLiteral("set UPSNAME office ups")));
    QVERIFY(sim.execute(QStringLiteral("set \"END APC\" the end")));
    QVERIFY(sim.execute(QStringLiteral("set EXTRA one")));
    QVERIFY(sim.execute(QStringLiteral("remove MODEL")));
    StatusRecord record = statusOf(sim);
    QCOMPARE(Nis::lookup(record, QStringLiteral("UPSNAME")), QStringLiteral("office ups"));
    QCOMPARE(Nis::lookup(record, QStringLiteral("END APC")), QStringLiteral("the end"));
    QCOMPARE(record.at(record.size() - 2),
             qMakePair(QStringLiteral("EXTRA"), QStringLiteral("one")));
    QCOMPARE(Nis::lookup(record, QStringLiteral("MODEL")), QString());

    QVERIFY(sim.execute(QStringLiteral("unset MODEL")));
    QVERIFY(!Nis::lookup(statusOf(sim), QStringLiteral("MODEL")).isEmpty());
    QVERIFY(sim.execute(QStringLiteral("reset")));
    record = statusOf(sim);
    QCOMPARE(Nis::lookup(record, QStringLiteral("UPSNAME")), QStringLiteral("upssim"));
    QCOMPARE(Nis::lookup(record, QStringLiteral("EXTRA")), QString());

    QVERIFY(sim.execute(QStringLiteral("event Something happened.")));
    QCOMPARE(eventTexts(sim).last(), QStringLiteral("Something happened."));
    QString help;
    QVERIFY(sim.execute(QStringLiteral("help"), &help));
    QVERIFY(help.contains(QStringLiteral("misbehave")));
}

void TestUpsSim::badCommands_data()
{
    QTest::addColumn<QString>("command");
    QTest::newRow("unknown") << QStringLiteral("fly");
    QTest::newRow("self-test length") << QStringLiteral("selftest soon");
    QTest::newRow("unknown misbehaviour") << QStringLiteral("misbehave politely");
    QTest::newRow("misbehaviour target") << QStringLiteral("misbehave endless sideways");
    QTest::newRow("negative interval") << QStringLiteral("interval -1");
    QTest::newRow("set without key") << QStringLiteral("set");
}

void TestUpsSim::badCommands()
{
    QFETCH(QString, command);
    UpsSimulator sim;
    QString message;
    QVERIFY(!sim.execute(command, &message));
    QVERIFY(!message.isEmpty());
}

void TestUpsSim::fiftyEventLines()
{
    UpsSimulator sim;
    for (int i = 1; i <= 70; ++i)
        sim.model().addRawEventLine(QStringLiteral("line %1").arg(i));
    const QList<QByteArray> records = sim.eventsRecords();
    QCOMPARE(records.size(), 50);
    QCOMPARE(records.first(), QByteArray("line 21\n"));
    QCOMPARE(records.last(), QByteArray("line 70\n"));
}

void TestUpsSim::scenarioParsing_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QList<qint64>>("times");
    QTest::addColumn<int>("badLine");
    QTest::newRow("absolute and relative")
            << QStringLiteral("# failure\n5 powerfail\n\n+2.5 powerback\n10 event x y\n")
            << QList<qint64>{5000, 7500, 10000} << 0;
    QTest::newRow("no time") << QStringLiteral("powerfail\n") << QList<qint64>() << 1;
    QTest::newRow("no command") << QStringLiteral("1 powerfail\n5\n") << QList<qint64>() << 2;
    QTest::newRow("negative time") << QStringLiteral("-1 powerfail\n") << QList<qint64>() << 1;
}

void TestUpsSim::scenarioParsing()
{
    QFETCH(QString, text);
    QFETCH(QList<qint64>, times);
    QFETCH(int, badLine);
    UpsSimulator sim;
    Scenario scenario(&sim);
    QString error;
    QCOMPARE(scenario.parse(text, &error), badLine == 0);
    if (badLine) {
        QVERIFY2(error.startsWith(QStringLiteral("line %1:").arg(badLine)), qPrintable(error));
        return;
    }
    QList<qint64> parsed;
    for (const Scenario::Step &step : scenario.steps())
        parsed.append(step.atMs);
    QCOMPARE(parsed, times);
    QCOMPARE(scenario.steps().last().command, QStringLiteral("event x y"));
}

void TestUpsSim::scenarioRuns()
{
    UpsSimulator sim;
    Scenario scenario(&sim);
    QVERIFY(scenario.parse(QStringLiteral("0 powerfail\n+0.2 event hello\n+0.1 fly\n"), nullptr));
    QSignalSpy finished(&scenario, &Scenario::finished);
    QSignalSpy failed(&scenario, &Scenario::stepFailed);
    scenario.start();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 10000);
    QVERIFY(sim.model().onBattery());
    QCOMPARE(eventTexts(sim).last(), QStringLiteral("hello"));
    QCOMPARE(failed.count(), 1);
    QCOMPARE(failed.first().at(0).toInt(), 3);
}

void TestUpsSim::server()
{
    UpsSimulator sim;
    QVERIFY(sim.listen());
    QVERIFY(!sim.listen(0, QHostAddress(QStringLiteral("192.0.2.1"))));
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, sim.port());
    QVERIFY(socket.waitForConnected(10000));

    // Requests are answered in order on one connection; the reads below
    // find everything buffered already.
    const QByteArray expected = sim.statusReply() + sim.eventsReply();
    socket.write(QByteArray::fromHex("0006") + "status" + QByteArray::fromHex("0006") + "events" +
                 QByteArray::fromHex("0005") + "other");
    QTRY_VERIFY_WITH_TIMEOUT(socket.bytesAvailable() >= expected.size() + 21, 10000);
    NisChannel channel(&socket);
    QVERIFY(Nis::isStatusReply(channel.readReply().text));
    QCOMPARE(channel.readReply().text,
             sim.model().eventLines().join(QLatin1Char('\n')) + QLatin1Char('\n'));
    char record[NisChannel::recordCapacity];
    QCOMPARE(channel.readRecord(record, NisChannel::recordCapacity), 17);
    QCOMPARE(QByteArray(record, 17), QByteArray("Invalid command\n\0", 17));
    QCOMPARE(sim.requestsServed(), 3);

    // A request longer than any command ends the connection.
    socket.write(QByteArray::fromHex("ffff"));
    QTRY_COMPARE_WITH_TIMEOUT(socket.state(), QAbstractSocket::UnconnectedState, 10000);
}

void TestUpsSim::idleClientDropped()
{
    UpsSimulator sim;
    sim.setIdleTimeout(300);
    QVERIFY(sim.listen());
    QSignalSpy closed(&sim, &UpsSimulator::connectionClosed);
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, sim.port());
    QVERIFY(socket.waitForConnected(10000));
    QTRY_COMPARE_WITH_TIMEOUT(socket.state(), QAbstractSocket::UnconnectedState, 10000);
    QCOMPARE(closed.count(), 1);
}

QTEST_GUILESS_MAIN(TestUpsSim)
#include "tst_upssim.moc"
