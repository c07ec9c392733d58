#include "apcupsdcontrol.h"
#include "comthrd.h"
#include "core.h"
#include "database.h"
#include "journalreader.h"
#include "registry.h"
#include "serverconnection.h"
#include "standinprograms.h"
#include "testmariadb.h"
#include "tracerecorder.h"
#include "upssimulator.h"

#include <QTemporaryDir>
#include <QtTest>

#include <memory>

// The monitoring core through a database outage: the UPS simulator as
// apcupsd's network server, the private MariaDB of its own (fixture
// db_restart_server) through ODBC, stopped while the power fails and returns.
class TestCoreOutage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(home.isValid());
        qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit());
        QVERIFY2(server.isValid(), qPrintable(server.errorString()));
        DataBase::setFailureNotice(
                [](const QString &text) { QFAIL(qPrintable(QStringLiteral("refused: ") + text)); });
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
        programs.reset();
        simulator.reset();
        // A failed test may leave the server stopped.
        QVERIFY2(server.resume(), qPrintable(server.lastError()));
    }

    void outageLosesAndRepeatsNothing()
    {
        simulator = std::make_unique<UpsSimulator>();
        QVERIFY(simulator->listen());
        programs = std::make_unique<StandInPrograms>();
        programs->writeScript(QStringLiteral("bin/processes"), "echo init\necho apcupsd-outage\n");
        const QString schema = QStringLiteral("outage");
        QVERIFY(server.createSchema(schema));
        registry = std::make_unique<Registry>(trace.log(),
                                              settingsDir.filePath(QStringLiteral("confdata")));
        registry->setKey(QStringLiteral("upshost"), QStringLiteral("127.0.0.1"));
        registry->setKey(QStringLiteral("upsport"), QString::number(simulator->port()));
        registry->setKey(QStringLiteral("dbhost"), server.host());
        registry->setKey(QStringLiteral("dbport"), QString::number(server.port()));
        registry->setKey(QStringLiteral("dbname"), schema);
        registry->setKey(QStringLiteral("dbvdriver"), QStringLiteral("5.3"));
        registry->setKey(QStringLiteral("dbuser"), server.user());
        registry->setKey(QStringLiteral("dbpasswd"), server.password(), true);

        client = std::make_unique<COMThrd>(registry.get(), trace.log());
        InstallationProfile profile = InstallationProfile::linuxStandIn();
        profile.processListCommand = programs->filePath(QStringLiteral("bin/processes"));
        profile.daemonImage = QStringLiteral("apcupsd-outage");
        profile.testToolImage = QStringLiteral("apctest-outage");
        profile.waits = testWaits();
        control = std::make_unique<ApcUpsdControl>(profile, registry.get(), trace.log(),
                                                   client.get());
        database = std::make_unique<DataBase>(registry.get(), trace.log());
        database->setReconnectBackoff(50, 1000);
        database->openConnection();
        QVERIFY(database->isConnected());
        core = std::make_unique<Core>(client.get(), control.get(), database.get(), registry.get(),
                                      trace.log());
        core->start();
        QTRY_VERIFY_WITH_TIMEOUT(count(schema, QStringLiteral("upsmeasurements")) >= 1, 60000);
        const QString journal = database->journalPath();

        QVERIFY2(server.pause(), qPrintable(server.lastError()));
        QVERIFY(simulator->execute(QStringLiteral("powerfail")));
        QTRY_VERIFY_WITH_TIMEOUT(unsent(journal, QStringLiteral("upsevents"),
                                        QStringLiteral("message LIKE "
                                                       "'%Running on UPS "
                                                       "batteries.'")),
                                 60000);
        QTRY_VERIFY_WITH_TIMEOUT(unsent(journal, QStringLiteral("upsmeasurements"),
                                        QStringLiteral("status LIKE 'ONBATT%'")),
                                 60000);
        QVERIFY(simulator->execute(QStringLiteral("powerback")));
        QTRY_VERIFY_WITH_TIMEOUT(unsent(journal, QStringLiteral("upsevents"),
                                        QStringLiteral("message LIKE "
                                                       "'%Power is back. "
                                                       "UPS running on "
                                                       "mains.'")),
                                 60000);
        QTRY_VERIFY_WITH_TIMEOUT(unsent(journal, QStringLiteral("upsmeasurements"),
                                        QStringLiteral("status LIKE 'ONLINE%' AND id > (SELECT "
                                                       "MAX(id) FROM upsmeasurements WHERE "
                                                       "status LIKE 'ONBATT%')")),
                                 60000);
        QVERIFY2(server.resume(), qPrintable(server.lastError()));

        // Monitoring ends, so that no new row comes while the tables are read.
        core->stop();
        QVERIFY(core->wait(30000));
        QTRY_VERIFY_WITH_TIMEOUT(!client->isRunning(), 30000);
        QTRY_COMPARE_WITH_TIMEOUT(database->unsentRows(), 0, 120000);
        QStringList daemonLines = client->eventLines();
        daemonLines.removeAll(QString());

        // Every row once, in the order it was recorded (the journal's ids
        // follow the rows' times), the event rows being the daemon's lines.
        const QString measured = ServerConnection::measurementColumns().join(QLatin1Char(','));
        QCOMPARE(serverRows(schema, QStringLiteral("upsmeasurements"), measured),
                 readJournal(journal,
                             QStringLiteral("SELECT ") + measured +
                                     QStringLiteral(" FROM upsmeasurements ORDER BY id")));
        const QString events = ServerConnection::eventColumns().join(QLatin1Char(','));
        QCOMPARE(serverRows(schema, QStringLiteral("upsevents"), events),
                 readJournal(journal,
                             QStringLiteral("SELECT ") + events +
                                     QStringLiteral(" FROM upsevents ORDER BY id")));
        QCOMPARE(server.query(QStringLiteral("SELECT message FROM upsevents ORDER BY id"), schema),
                 daemonLines);
    }

private:
    // Rows of the table in id order, the columns joined by "|".
    QStringList serverRows(const QString &schema, const QString &table, const QString &columns)
    {
        QString joined = columns;
        joined.replace(QLatin1Char(','), QStringLiteral(", '|', "));
        return server.query(QStringLiteral("SELECT CONCAT(") + joined + QStringLiteral(") FROM ") +
                                    table + QStringLiteral(" ORDER BY id"),
                            schema);
    }

    int count(const QString &schema, const QString &table)
    {
        return server.query(QStringLiteral("SELECT COUNT(*) FROM ") + table, schema)
                .value(0, QStringLiteral("-1"))
                .toInt();
    }

    // Whether a row of the journal's table that matches waits to be sent.
    static bool unsent(const QString &journal, const QString &table, const QString &condition)
    {
        return !readJournal(journal,
                            QStringLiteral("SELECT id FROM ") + table +
                                    QStringLiteral(" WHERE state = 0 AND ") + condition)
                        .isEmpty();
    }

    QTemporaryDir home;
    QTemporaryDir settingsDir;
    TestMariaDb server;
    TraceRecorder trace;
    std::unique_ptr<UpsSimulator> simulator;
    std::unique_ptr<StandInPrograms> programs;
    std::unique_ptr<Registry> registry;
    std::unique_ptr<COMThrd> client;
    std::unique_ptr<ApcUpsdControl> control;
    std::unique_ptr<DataBase> database;
    std::unique_ptr<Core> core;
};

QTEST_MAIN(TestCoreOutage)
#include "tst_coreoutage.moc"
