// A server that goes away while the program runs. This program has a server
// of its own (fixture db_restart_server), which it stops and starts again.
#include "dbtesthelpers.h"

#include <QRegularExpression>

#include <signal.h>

class TestDatabaseReconnect final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void writeAfterRestartLands();
    void rowsWaitWhileDownWithOneRecord();
    void lastEventMessageFromJournalWhileDown();
    void reconnectBacksOffUntilSave();
    void rowOutWhileServerHangsIsStoredOnce();

private:
    QStringList rows(const QString &statement) { return server->query(statement, schema); }
    QStringList statuses()
    {
        return rows(QStringLiteral("SELECT status FROM upsmeasurements ORDER BY id"));
    }
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
    db->database->setReconnectBackoff(50, 400);
    QVERIFY(openAndAwaitAnswer(*db->database));
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
    QTRY_COMPARE_WITH_TIMEOUT(statuses(), QStringList{QStringLiteral("before")}, 30000);
    restartServer();
    db->database->writeMeasurement(sampleMeasurement(QStringLiteral("after")));
    db->database->writeEvent(sampleEvent(QStringLiteral("after")));

    QTRY_COMPARE_WITH_TIMEOUT(
            statuses(), (QStringList{QStringLiteral("before"), QStringLiteral("after")}), 60000);
    QTRY_COMPARE_WITH_TIMEOUT(rows(QStringLiteral("SELECT message FROM upsevents")),
                              QStringList{QStringLiteral("after")}, 30000);
    QVERIFY(notices.isEmpty());
    QVERIFY(db->database->isConnected());
}

void TestDatabaseReconnect::rowsWaitWhileDownWithOneRecord()
{
    db->database->writeMeasurement(sampleMeasurement(QStringLiteral("before")));
    QTRY_COMPARE_WITH_TIMEOUT(statuses(), QStringList{QStringLiteral("before")}, 30000);
    QVERIFY2(server->pause(), qPrintable(server->lastError()));

    const int mark = db->messages().size();
    QStringList expected{QStringLiteral("before")};
    for (int i = 0; i < 5; ++i) {
        expected.append(QStringLiteral("down ") + QString::number(i));
        db->database->writeMeasurement(sampleMeasurement(expected.last()));
    }
    db->database->writeEvent(sampleEvent(QStringLiteral("while down")));
    // Attempts every 400 ms at most: many of them while the server is away.
    QTRY_VERIFY_WITH_TIMEOUT(
            !db->trace->since(mark).filter(QStringLiteral("Can not connect to ")).isEmpty(), 30000);
    QCOMPARE(db->database->unsentRows(), 6);
    QVERIFY2(server->resume(), qPrintable(server->lastError()));

    QTRY_COMPARE_WITH_TIMEOUT(statuses(), expected, 60000);
    QTRY_COMPARE_WITH_TIMEOUT(rows(QStringLiteral("SELECT message FROM upsevents")),
                              QStringList{QStringLiteral("while down")}, 30000);
    QTRY_COMPARE_WITH_TIMEOUT(db->database->unsentRows(), 0, 30000);
    const QStringList traced = db->trace->since(mark);
    const QString all = traced.join(QLatin1Char('\n'));
    // One record as the outage began, one per different refusal of the
    // attempts, one when the database answered again with what was sent.
    QCOMPARE(
            traced.filter(QRegularExpression(QStringLiteral("^Write (Measurement|Event) error : ")))
                    .size(),
            1);
    QVERIFY2(traced.filter(QStringLiteral("Can not connect to ")).size() <= 2, qPrintable(all));
    QTRY_VERIFY_WITH_TIMEOUT(db->trace->since(mark).contains(
                                     QStringLiteral("Database answers again: 6 rows from the "
                                                    "journal sent")),
                             30000);
    QVERIFY(notices.isEmpty());
}

void TestDatabaseReconnect::lastEventMessageFromJournalWhileDown()
{
    db->database->writeEvent(sampleEvent(QStringLiteral("Power failure.")));
    QTRY_COMPARE_WITH_TIMEOUT(db->database->unsentRows(), 0, 30000);
    QVERIFY2(server->pause(), qPrintable(server->lastError()));
    db->database->writeEvent(sampleEvent(QStringLiteral("Running on UPS batteries.")));

    // The program starts again while the server is away: the event walk goes
    // on after the line it recorded last, not after the server's newest.
    db->database.reset();
    db->database = std::make_unique<DataBase>(db->registry.get(), db->logs.get());
    db->database->setReconnectBackoff(50, 400);
    QVERIFY(openAndAwaitAnswer(*db->database));
    QCOMPARE(notices.size(), 1);
    QCOMPARE(db->database->lastEventMessage(), QStringLiteral("Running on UPS batteries."));

    QVERIFY2(server->resume(), qPrintable(server->lastError()));
    QTRY_COMPARE_WITH_TIMEOUT(rows(QStringLiteral("SELECT message FROM upsevents ORDER BY id")),
                              (QStringList{QStringLiteral("Power failure."),
                                           QStringLiteral("Running on UPS batteries.")}),
                              60000);
}

void TestDatabaseReconnect::reconnectBacksOffUntilSave()
{
    db->database->setReconnectBackoff(3600 * 1000, 3600 * 1000);
    db->database->writeMeasurement(sampleMeasurement(QStringLiteral("before")));
    QTRY_COMPARE_WITH_TIMEOUT(statuses(), QStringList{QStringLiteral("before")}, 30000);
    QVERIFY2(server->pause(), qPrintable(server->lastError()));
    const int mark = db->messages().size();
    db->database->writeMeasurement(sampleMeasurement(QStringLiteral("while down")));
    QTRY_VERIFY_WITH_TIMEOUT(
            !db->trace->since(mark).filter(QStringLiteral("Write Measurement error : ")).isEmpty(),
            30000);
    QVERIFY2(server->resume(), qPrintable(server->lastError()));

    // The next attempt is an hour away: nothing is tried meanwhile.
    QTest::qWait(2000);
    QCOMPARE(statuses(), QStringList{QStringLiteral("before")});
    QCOMPARE(db->database->unsentRows(), 1);

    // Saving the settings opens the connection at once.
    db->database->openConnection();
    QTRY_COMPARE_WITH_TIMEOUT(statuses(),
                              (QStringList{QStringLiteral("before"), QStringLiteral("while down")}),
                              30000);
}

void TestDatabaseReconnect::rowOutWhileServerHangsIsStoredOnce()
{
    db->database->writeMeasurement(sampleMeasurement(QStringLiteral("before")));
    QTRY_COMPARE_WITH_TIMEOUT(statuses(), QStringList{QStringLiteral("before")}, 30000);

    // A server that keeps its connections but stops answering: the INSERT
    // goes out and waits in the server's socket until the driver's read time
    // limit gives up on it. Once the server runs again it carries the INSERT
    // out, while the writer connects again: the row must be stored once.
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
    QTRY_VERIFY_WITH_TIMEOUT(
            !db->trace->since(mark).filter(QStringLiteral("Write Measurement error : ")).isEmpty(),
            120000);
    ::kill(pid, SIGCONT);

    QTRY_COMPARE_WITH_TIMEOUT(db->database->unsentRows(), 0, 120000);
    db->database->writeMeasurement(sampleMeasurement(QStringLiteral("answering")));
    QTRY_COMPARE_WITH_TIMEOUT(statuses(),
                              (QStringList{QStringLiteral("before"), QStringLiteral("hung"),
                                           QStringLiteral("answering")}),
                              60000);
}

VOLTRINE_DB_TEST_MAIN(TestDatabaseReconnect)
#include "tst_databasereconnect.moc"
