// A server that goes away while the program runs. This program has a server
// of its own (fixture db_restart_server), which it stops and starts again.
#include "dbtesthelpers.h"

#include <signal.h>

class TestDatabaseReconnect final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void writeAfterRestartLands();
    void rowsAreNotQueuedWhileDown();
    void lastEventMessageAfterRestart();
    void failedReconnectWaitsForItsInterval();
    void hungServerDoesNotHang();

private:
    QStringList rows(const QString &statement) { return server->query(statement, schema); }
    void restartServer();

    std::unique_ptr<TestMariaDb> server;
    std::unique_ptr<DatabaseUnderTest> db;
    QString schema;
    QStringList notices;
};

void TestDatabaseReconnect::initTestCase()
{
    DataBase::setFailureNotice([this](const QString &text) { notices.append(text); });
    server = std::make_unique<TestMariaDb>();
    QVERIFY2(server->isValid(), qPrintable(server->errorString()));
}

void TestDatabaseReconnect::init()
{
    notices.clear();
    schema = freshSchemaName("reconnect");
    QVERIFY2(server->createSchema(schema), qPrintable(server->lastError()));
    db = std::make_unique<DatabaseUnderTest>(*server, schema);
    db->database->setReconnectInterval(0);
    db->database->openConnection();
    QVERIFY(db->database->isConnected());
}

void TestDatabaseReconnect::cleanup()
{
    db.reset();
    // A failed test may leave the server stopped.
    QVERIFY2(server->resume(), qPrintable(server->lastError()));
    server->exec(QStringLiteral("DROP DATABASE IF EXISTS ") + schema);
}

void TestDatabaseReconnect::restartServer()
{
    QVERIFY2(server->pause(), qPrintable(server->lastError()));
    QVERIFY2(server->resume(), qPrintable(server->lastError()));
}

void TestDatabaseReconnect::writeAfterRestartLands()
{
    db->database->writeMeasurement(sampleMeasurement(QStringLiteral("before")));
    restartServer();
    const int mark = db->messages().size();
    db->database->writeMeasurement(sampleMeasurement(QStringLiteral("after")));
    db->database->writeEvent(sampleEvent(QStringLiteral("after")));

    QCOMPARE(rows(QStringLiteral("SELECT status FROM upsmeasurements ORDER BY id")),
             (QStringList{QStringLiteral("before"), QStringLiteral("after")}));
    QCOMPARE(rows(QStringLiteral("SELECT message FROM upsevents")),
             QStringList{QStringLiteral("after")});
    const QStringList traced = db->trace->since(mark);
    QCOMPARE(traced.size(), 2);
    QVERIFY2(traced.at(0).startsWith(QStringLiteral("Database connection lost, reconnecting to ")),
             qPrintable(traced.at(0)));
    QVERIFY2(traced.at(1).startsWith(QStringLiteral("Reconnected to ")), qPrintable(traced.at(1)));
    QVERIFY(notices.isEmpty());
    QVERIFY(db->database->isConnected());
}

void TestDatabaseReconnect::rowsAreNotQueuedWhileDown()
{
    db->database->writeMeasurement(sampleMeasurement(QStringLiteral("before")));
    QVERIFY2(server->pause(), qPrintable(server->lastError()));

    int mark = db->messages().size();
    db->database->writeMeasurement(sampleMeasurement(QStringLiteral("while down")));
    QStringList traced = db->trace->since(mark);
    QVERIFY2(traced.last().startsWith(QStringLiteral("Write Measurement error : ")),
             qPrintable(traced.join(QLatin1Char('\n'))));
    QVERIFY(traced.filter(QStringLiteral("Can not reconnect to ")).size() == 1);

    db->database->writeEvent(sampleEvent(QStringLiteral("while down")));
    QVERIFY(db->trace->since(mark).last().startsWith(QStringLiteral("Write Event error : ")));
    QVERIFY(notices.isEmpty());

    QVERIFY2(server->resume(), qPrintable(server->lastError()));
    mark = db->messages().size();
    db->database->writeMeasurement(sampleMeasurement(QStringLiteral("after")));
    traced = db->trace->since(mark);
    QVERIFY2(traced.filter(QStringLiteral("Reconnected to ")).size() == 1,
             qPrintable(traced.join(QLatin1Char('\n'))));
    QCOMPARE(rows(QStringLiteral("SELECT status FROM upsmeasurements ORDER BY id")),
             (QStringList{QStringLiteral("before"), QStringLiteral("after")}));
    QVERIFY(rows(QStringLiteral("SELECT message FROM upsevents")).isEmpty());
}

void TestDatabaseReconnect::lastEventMessageAfterRestart()
{
    db->database->writeEvent(sampleEvent(QStringLiteral("Power failure.")));
    restartServer();
    QCOMPARE(db->database->lastEventMessage(), QStringLiteral("Power failure."));
}

void TestDatabaseReconnect::failedReconnectWaitsForItsInterval()
{
    db->database->setReconnectInterval(3600 * 1000);
    QVERIFY2(server->pause(), qPrintable(server->lastError()));
    db->database->writeMeasurement(sampleMeasurement(QStringLiteral("while down")));
    QVERIFY2(server->resume(), qPrintable(server->lastError()));

    // Within the interval nothing tries again: the row is dropped with a record.
    int mark = db->messages().size();
    db->database->writeMeasurement(sampleMeasurement(QStringLiteral("too soon")));
    QStringList traced = db->trace->since(mark);
    QCOMPARE(traced.size(), 1);
    QVERIFY(traced.first().startsWith(QStringLiteral("Write Measurement error : ")));
    QVERIFY(rows(QStringLiteral("SELECT status FROM upsmeasurements")).isEmpty());

    // Saving the settings reconnects at once.
    db->database->openConnection();
    QVERIFY(db->database->isConnected());
    db->database->writeMeasurement(sampleMeasurement(QStringLiteral("after save")));
    QCOMPARE(rows(QStringLiteral("SELECT status FROM upsmeasurements")),
             QStringList{QStringLiteral("after save")});
}

void TestDatabaseReconnect::hungServerDoesNotHang()
{
    // A server that keeps its connections but stops answering: the driver's
    // read time limit ends the write; the row is lost with a record.
    const pid_t pid = server->serverPid();
    QVERIFY(pid > 0);
    QCOMPARE(::kill(pid, SIGSTOP), 0);
    struct Continue
    {
        pid_t pid;
        ~Continue() { ::kill(pid, SIGCONT); }
    } resumeOnExit{pid};

    const int mark = db->messages().size();
    db->database->writeMeasurement(sampleMeasurement(QStringLiteral("hung")));
    const QStringList traced = db->trace->since(mark);
    QVERIFY2(!traced.isEmpty() &&
                     traced.last().startsWith(QStringLiteral("Write Measurement error : ")),
             qPrintable(traced.join(QLatin1Char('\n'))));

    ::kill(pid, SIGCONT);
    db->database->writeMeasurement(sampleMeasurement(QStringLiteral("answering")));
    // The server had the given-up statement in hand before it stopped: once
    // it goes on, it may still carry it out, at a moment of its own.
    const QStringList stored = rows(QStringLiteral("SELECT status FROM upsmeasurements"));
    QVERIFY2(stored.contains(QStringLiteral("answering")) &&
                     stored.count(QStringLiteral("hung")) <= 1 &&
                     stored.size() == 1 + stored.count(QStringLiteral("hung")),
             qPrintable(stored.join(QLatin1Char(','))));
}

VOLTRINE_DB_TEST_MAIN(TestDatabaseReconnect)
#include "tst_databasereconnect.moc"
