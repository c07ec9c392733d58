#include "apcupsdcontrol.h"
#include "comthrd.h"
#include "core.h"
#include "database.h"
#include "databaseanswer.h"
#include "journalreader.h"
#include "registry.h"
#include "serverconnection.h"
#include "standinprograms.h"
#include "testmariadb.h"
#include "tracerecorder.h"
#include "upssimulator.h"

#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

// The monitoring core with real peers: the UPS simulator as apcupsd's network
// server, the private MariaDB through ODBC (and a second one, which the outage
// stops and starts), and the service control with a profile whose process list
// says apcupsd already runs alone, so that starting monitoring leaves every
// process of the machine alone.
class TestCore : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(home.isValid());
        qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit());
        QVERIFY2(server.isValid(), qPrintable(server.errorString()));
        DataBase::setFailureNotice(
                [](const QString &text) { qWarning("refused: %s", qPrintable(text)); });
    }

    void init()
    {
        simulator = std::make_unique<UpsSimulator>();
        QVERIFY(simulator->listen());

        programs = std::make_unique<StandInPrograms>();
        programs->writeScript(QStringLiteral("bin/processes"), "echo init\necho apcupsd-core\n");

        settingsDir = std::make_unique<QTemporaryDir>();
        trace = std::make_unique<TraceRecorder>();
        registry = std::make_unique<Registry>(trace->log(),
                                              settingsDir->filePath(QStringLiteral("confdata")));
        registry->setKey(QStringLiteral("upshost"), QStringLiteral("127.0.0.1"));
        registry->setKey(QStringLiteral("upsport"), QString::number(simulator->port()));
        schema = QStringLiteral("core_%1").arg(++schemaCount);
        QVERIFY(server.createSchema(schema));
        registry->setKey(QStringLiteral("dbhost"), server.host());
        registry->setKey(QStringLiteral("dbport"), QString::number(server.port()));
        registry->setKey(QStringLiteral("dbname"), schema);
        registry->setKey(QStringLiteral("dbvdriver"), QStringLiteral("5.3"));
        registry->setKey(QStringLiteral("dbuser"), server.user());
        registry->setKey(QStringLiteral("dbpasswd"), server.password(), true);

        client = std::make_unique<COMThrd>(registry.get(), trace->log());
        InstallationProfile profile = InstallationProfile::linuxStandIn();
        profile.processListCommand = programs->filePath(QStringLiteral("bin/processes"));
        profile.daemonImage = QStringLiteral("apcupsd-core");
        profile.testToolImage = QStringLiteral("apctest-core");
        profile.waits = testWaits();
        control = std::make_unique<ApcUpsdControl>(profile, registry.get(), trace->log(),
                                                   client.get());
        database = std::make_unique<DataBase>(registry.get(), trace->log());
        QVERIFY(openAndAwaitAnswer(*database));
        QVERIFY(database->isConnected());
    }

    void cleanup()
    {
        if (core) {
            core->stop();
            QVERIFY(core->wait(30000));
        }
        core.reset();
        if (client)
            client->stopAndWait(10000);
        control.reset();
        client.reset();
        database.reset();
        registry.reset();
        trace.reset();
        settingsDir.reset();
        programs.reset();
        simulator.reset();
    }

    void loggingIntervalAtConstruction_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<int>("interval");

        QTest::newRow("missing") << QString() << 600000;
        QTest::newRow("below the floor") << "30000" << 600000;
        QTest::newRow("not a number") << "ten" << 600000;
        QTest::newRow("two minutes") << "120000" << 120000;
        QTest::newRow("the floor itself") << "60000" << 60000;
    }

    void loggingIntervalAtConstruction()
    {
        QFETCH(QString, stored);
        QFETCH(int, interval);

        if (!stored.isEmpty())
            registry->setKey(QStringLiteral("dblogtime"), stored);
        makeCore();
        QCOMPARE(registry->getKey(QStringLiteral("dblogtime")), QString::number(interval));
        QVERIFY(core->isLogging());
        QCOMPARE(core->loggingInterval(), interval);
        QVERIFY(trace->messages().contains(
                QStringLiteral("Logging timer started with %1 ms interval").arg(interval)));
        const QStringList messages = trace->messages();
        QVERIFY(messages.indexOf(QStringLiteral("Initializing Core Begin")) <
                messages.indexOf(QStringLiteral("Initializing Core End")));
    }

    void setLoggingIntervalRestartsTimer()
    {
        makeCore();
        core->setLoggingInterval(30000);
        QCOMPARE(registry->getKey(QStringLiteral("dblogtime")), QStringLiteral("30000"));
        QCOMPARE(core->loggingInterval(), 30000);
        QVERIFY(core->isLogging());
        QCOMPARE(trace->messages().last(),
                 QStringLiteral("Logging timer started with 30000 ms interval"));
    }

    void monitoringRunStartsAndStops()
    {
        makeCore();
        QSignalSpy started(core.get(), &Core::CoreStarted);
        QSignalSpy stopped(core.get(), &Core::CoreStopped);
        core->start();
        QTRY_COMPARE_WITH_TIMEOUT(started.count(), 1, 30000);
        // The client polls: the first status gives a measurement row.
        QTRY_COMPARE_WITH_TIMEOUT(rowCount(QStringLiteral("upsmeasurements")), 1, 30000);
        QVERIFY(client->statusValue(QStringLiteral("STATUS")).startsWith(QLatin1String("ONLINE")));

        core->stop();
        QTRY_COMPARE_WITH_TIMEOUT(stopped.count(), 1, 30000);
        QVERIFY(core->wait(10000));
        const QStringList messages = trace->messages();
        const int begin = messages.indexOf(QStringLiteral("Starting apcupsd services"));
        const int monitoring = messages.indexOf(QStringLiteral("Monitoring Started"));
        const int end = messages.indexOf(QStringLiteral("Monitoring Stoped"));
        QVERIFY(begin >= 0);
        QVERIFY(monitoring > begin);
        QVERIFY(end > monitoring);
        QTRY_VERIFY_WITH_TIMEOUT(!client->isRunning(), 10000);
    }

    void stopRightAfterStart()
    {
        makeCore();
        QStringList order;
        connect(core.get(), &Core::CoreStarted, this,
                [&order] { order << QStringLiteral("started"); });
        connect(core.get(), &Core::CoreStopped, this,
                [&order] { order << QStringLiteral("stopped"); });
        core->start();
        core->stop();
        // Queued to this thread, as to the window.
        QTRY_COMPARE_WITH_TIMEOUT(order.size(), 2, 30000);
        QCOMPARE(order, (QStringList{QStringLiteral("started"), QStringLiteral("stopped")}));
    }

    void changedValuesGiveRows()
    {
        makeCore();
        core->start();
        // The first record after start carries CUMONBATT as N/A (nothing to
        // compare it with yet), the second its value: two rows.
        QTRY_COMPARE_WITH_TIMEOUT(rowCount(QStringLiteral("upsmeasurements")), 2, 30000);
        QCOMPARE(server.query(
                         QStringLiteral("SELECT batttotaltime FROM upsmeasurements ORDER BY id"),
                         schema),
                 (QStringList{QStringLiteral("N/A"),
                              client->statusValue(QStringLiteral("CUMONBATT"))}));
        const int statusReplies = countStatusReplies();
        // Identical records give no further row.
        QTRY_VERIFY_WITH_TIMEOUT(countStatusReplies() >= statusReplies + 6, 30000);
        QCOMPARE(rowCount(QStringLiteral("upsmeasurements")), 2);

        QVERIFY(simulator->execute(QStringLiteral("set LINEV 229.0 Volts")));
        QTRY_COMPARE_WITH_TIMEOUT(rowCount(QStringLiteral("upsmeasurements")), 3, 30000);
        QCOMPARE(
                server.query(
                        QStringLiteral(
                                "SELECT linevoltage FROM upsmeasurements ORDER BY id DESC LIMIT 1"),
                        schema),
                QStringList{QStringLiteral("229.0 Volts")});
        QCOMPARE(server.query(QStringLiteral("SELECT monitorversion FROM upsmeasurements ORDER BY "
                                             "id DESC LIMIT 1"),
                              schema),
                 QStringList{QStringLiteral("1.0.0a.2")});

        QSettings hardware(QSettings::NativeFormat, QSettings::UserScope,
                           QStringLiteral("Brindlecast"), QStringLiteral("Hardware"));
        QCOMPARE(hardware.value(QStringLiteral("UPSStatus")).toString(),
                 client->statusValue(QStringLiteral("STATUS")));
    }

    void powerFailureGivesEventRowsOnce()
    {
        makeCore();
        core->start();
        QTRY_COMPARE_WITH_TIMEOUT(rowCount(QStringLiteral("upsmeasurements")), 1, 30000);
        const QStringList before = client->eventLines();
        QVERIFY(simulator->execute(QStringLiteral("powerfail")));
        // Every line of the daemon's list is stored once, in order, one per list.
        QTRY_VERIFY_WITH_TIMEOUT(client->eventLines().size() > before.size(), 30000);
        QStringList expected = client->eventLines();
        expected.removeAll(QString());
        QTRY_COMPARE_WITH_TIMEOUT(rowCount(QStringLiteral("upsevents")), expected.size(), 60000);
        const int replies = countStatusReplies();
        QTRY_VERIFY_WITH_TIMEOUT(countStatusReplies() >= replies + 3, 30000);
        QCOMPARE(server.query(QStringLiteral("SELECT message FROM upsevents ORDER BY id"), schema),
                 expected);
        QCOMPARE(rowCount(QStringLiteral("upsevents")), expected.size());
    }

    // The walk goes on from where it wrote, also past a line equal to one
    // written before; a restart finds the last stored line at its last
    // place and writes nothing twice.
    void repeatedEventLinesAreEachStoredOnce()
    {
        makeCore();
        int lists = 0; // event lists the core has handled: its slot is queued first
        connect(client.get(), &COMThrd::EventsDataReady, this, [&lists] { ++lists; });
        const auto add = [this](const QStringList &lines) {
            for (const QString &line : lines)
                simulator->model().addRawEventLine(line);
        };
        const QString a = QStringLiteral("A");
        const QStringList stored{simulator->model().eventLines().value(0),
                                 a,
                                 QStringLiteral("B"),
                                 a,
                                 QStringLiteral("C"),
                                 a};
        core->start();
        add({a});
        QTRY_COMPARE_WITH_TIMEOUT(storedEvents(), stored.mid(0, 2), 30000);
        add({QStringLiteral("B"), a, QStringLiteral("C")});
        QTRY_COMPARE_WITH_TIMEOUT(storedEvents(), stored.mid(0, 5), 30000);
        add({a});
        QTRY_COMPARE_WITH_TIMEOUT(storedEvents(), stored, 30000);

        QSignalSpy stopped(core.get(), &Core::CoreStopped);
        QSignalSpy started(core.get(), &Core::CoreStarted);
        core->stop();
        QTRY_COMPARE_WITH_TIMEOUT(stopped.count(), 1, 30000);
        QVERIFY(core->wait(30000));
        // The new run's first list is handled, then three more cycles pass.
        const int handled = lists;
        core->start();
        QTRY_COMPARE_WITH_TIMEOUT(started.count(), 1, 30000);
        QTRY_VERIFY_WITH_TIMEOUT(lists >= handled + 1, 30000);
        const int replies = countStatusReplies();
        QTRY_VERIFY_WITH_TIMEOUT(countStatusReplies() >= replies + 6, 30000);
        QCOMPARE(storedEvents(), stored);
    }

    void timerRowsWhileMonitoringStopped()
    {
        makeCore();
        // No lower bound here: the page passes what the user chose.
        core->setLoggingInterval(300);
        QTRY_VERIFY_WITH_TIMEOUT(rowCount(QStringLiteral("upsmeasurements")) >= 2, 30000);
        // Nothing was polled: every UPS value is N/A, the version is set.
        QCOMPARE(server.query(QStringLiteral("SELECT DISTINCT CONCAT(status, linevoltage, mcid, "
                                             "monitorversion) FROM upsmeasurements"),
                              schema),
                 QStringList{QStringLiteral("N/AN/AN/A1.0.0a.2")});
    }

    void outageLosesAndRepeatsNothing()
    {
        TestMariaDb stoppable(qEnvironmentVariable("VOLTRINE_TEST_MARIADB_RESTART"));
        QVERIFY2(stoppable.isValid(), qPrintable(stoppable.errorString()));
        struct Resume
        {
            TestMariaDb &server;
            // A failed test may leave it stopped.
            ~Resume() { server.resume(); }
        } resumeOnExit{stoppable};
        const QString outageSchema = QStringLiteral("core_outage");
        QVERIFY(stoppable.createSchema(outageSchema));
        registry->setKey(QStringLiteral("dbport"), QString::number(stoppable.port()));
        registry->setKey(QStringLiteral("dbname"), outageSchema);
        registry->setKey(QStringLiteral("dbuser"), stoppable.user());
        registry->setKey(QStringLiteral("dbpasswd"), stoppable.password(), true);
        database->setReconnectBackoff(50, 1000);
        QVERIFY(openAndAwaitAnswer(*database));
        makeCore();
        core->start();
        const auto rows = [&](const QString &statement) {
            return stoppable.query(statement, outageSchema);
        };
        QTRY_VERIFY_WITH_TIMEOUT(!rows(QStringLiteral("SELECT id FROM upsmeasurements")).isEmpty(),
                                 60000);

        // The power fails and returns while the server is away: the rows of it
        // wait in the journal.
        const QString journal = database->journalPath();
        const auto waiting = [&journal](const QString &table, const QString &condition) {
            return !readJournal(journal,
                                QStringLiteral("SELECT id FROM ") + table +
                                        QStringLiteral(" WHERE state = 0 AND ") + condition)
                            .isEmpty();
        };
        QVERIFY2(stoppable.pause(), qPrintable(stoppable.lastError()));
        QVERIFY(simulator->execute(QStringLiteral("powerfail")));
        QTRY_VERIFY_WITH_TIMEOUT(waiting(QStringLiteral("upsevents"),
                                         QStringLiteral("message LIKE '%Running on UPS "
                                                        "batteries.'")),
                                 60000);
        QTRY_VERIFY_WITH_TIMEOUT(
                waiting(QStringLiteral("upsmeasurements"), QStringLiteral("status LIKE 'ONBATT%'")),
                60000);
        QVERIFY(simulator->execute(QStringLiteral("powerback")));
        QTRY_VERIFY_WITH_TIMEOUT(waiting(QStringLiteral("upsevents"),
                                         QStringLiteral("message LIKE '%Power is back. UPS "
                                                        "running on mains.'")),
                                 60000);
        QTRY_VERIFY_WITH_TIMEOUT(
                waiting(QStringLiteral("upsmeasurements"),
                        QStringLiteral("status LIKE 'ONLINE%' AND id > (SELECT MAX(id) FROM "
                                       "upsmeasurements WHERE status LIKE 'ONBATT%')")),
                60000);
        QVERIFY2(stoppable.resume(), qPrintable(stoppable.lastError()));

        // Monitoring ends, so that no new row comes while the tables are read.
        core->stop();
        QVERIFY(core->wait(30000));
        QTRY_VERIFY_WITH_TIMEOUT(!client->isRunning(), 30000);
        QTRY_COMPARE_WITH_TIMEOUT(database->unsentRows(), 0, 120000);
        QStringList daemonLines = client->eventLines();
        daemonLines.removeAll(QString());

        // Every row once, in the order it was recorded (the journal's ids
        // follow the rows' times), the event rows being the daemon's lines.
        for (const QStringList &columns :
             {ServerConnection::measurementColumns(), ServerConnection::eventColumns()}) {
            const QString table = columns == ServerConnection::measurementColumns()
                    ? QStringLiteral("upsmeasurements")
                    : QStringLiteral("upsevents");
            QCOMPARE(rows(QStringLiteral("SELECT CONCAT_WS('|', ") +
                          columns.join(QLatin1Char(',')) + QStringLiteral(") FROM ") + table +
                          QStringLiteral(" ORDER BY id")),
                     readJournal(journal,
                                 QStringLiteral("SELECT ") + columns.join(QLatin1Char(',')) +
                                         QStringLiteral(" FROM ") + table +
                                         QStringLiteral(" ORDER BY id")));
        }
        QCOMPARE(rows(QStringLiteral("SELECT message FROM upsevents ORDER BY id")), daemonLines);
    }

private:
    void makeCore()
    {
        core = std::make_unique<Core>(client.get(), control.get(), database.get(), registry.get(),
                                      trace->log());
    }

    int rowCount(const QString &table)
    {
        const QStringList result =
                server.query(QStringLiteral("SELECT COUNT(*) FROM ") + table, schema);
        return result.isEmpty() ? -1 : result.first().toInt();
    }

    int countStatusReplies() const { return simulator->requestsServed(); }

    QStringList storedEvents()
    {
        return server.query(QStringLiteral("SELECT message FROM upsevents ORDER BY id"), schema);
    }

    QTemporaryDir home;
    TestMariaDb server;
    std::unique_ptr<UpsSimulator> simulator;
    int schemaCount = 0;
    QString schema;
    std::unique_ptr<StandInPrograms> programs;
    std::unique_ptr<QTemporaryDir> settingsDir;
    std::unique_ptr<TraceRecorder> trace;
    std::unique_ptr<Registry> registry;
    std::unique_ptr<COMThrd> client;
    std::unique_ptr<ApcUpsdControl> control;
    std::unique_ptr<DataBase> database;
    std::unique_ptr<Core> core;
};

QTEST_MAIN(TestCore)
#include "tst_core.moc"
