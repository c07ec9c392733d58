// Rows handed over while the server hangs, and rows whose connection broke
// while they were out, against the private MariaDB server.
#include "dbtesthelpers.h"
#include "tcpproxy.h"

#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>

class TestLogWriter final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void hungServerNeverHoldsUpTheCaller();
    void rowInDoubtIsStoredOnce_data();
    void rowInDoubtIsStoredOnce();
    void refusingTableNeitherStormsNorBlocks_data();
    void refusingTableNeitherStormsNorBlocks();

private:
    QStringList rows(const QString &statement) { return server->query(statement, schema); }
    // The program signs in as an account of its own with only this grant
    // ("GRANT ... ON ...", the user left out).
    void signInAs(DatabaseUnderTest &db, const QString &grant);

    std::unique_ptr<TestMariaDb> server;
    QString schema;
    QStringList notices;
};

void TestLogWriter::initTestCase()
{
    DataBase::setFailureNotice([this](const QString &text) { notices.append(text); });
    server = std::make_unique<TestMariaDb>();
    QVERIFY2(server->isValid(), qPrintable(server->errorString()));
}

void TestLogWriter::init()
{
    notices.clear();
    schema = freshSchemaName("logwriter");
    QVERIFY2(server->createSchema(schema), qPrintable(server->lastError()));
}

void TestLogWriter::cleanup()
{
    server->exec(QStringLiteral("DROP DATABASE IF EXISTS ") + schema);
    server->exec(QStringLiteral("DROP USER IF EXISTS 'limited'@'127.0.0.1'"));
}

void TestLogWriter::signInAs(DatabaseUnderTest &db, const QString &grant)
{
    QVERIFY(server->exec(QStringLiteral("DROP USER IF EXISTS 'limited'@'127.0.0.1'")));
    QVERIFY(server->exec(QStringLiteral("CREATE USER 'limited'@'127.0.0.1' IDENTIFIED BY 'l'")));
    QVERIFY2(server->exec(grant + QStringLiteral(" TO 'limited'@'127.0.0.1'")),
             qPrintable(server->lastError()));
    db.registry->setKey(QStringLiteral("dbuser"), QStringLiteral("limited"));
    db.registry->setKey(QStringLiteral("dbpasswd"), QStringLiteral("l"), true);
}

void TestLogWriter::hungServerNeverHoldsUpTheCaller()
{
    DatabaseUnderTest db(*server, schema);
    db.database->setReconnectBackoff(50, 400);
    QVERIFY(openAndAwaitAnswer(*db.database));
    QVERIFY(db.database->isConnected());

    // A listener that accepts connections and never says a word.
    QTcpServer hung;
    QVERIFY(hung.listen(QHostAddress::LocalHost, 0));
    db.registry->setKey(QStringLiteral("dbport"), QString::number(hung.serverPort()));
    db.database->openConnection();
    QTcpSocket *held = nullptr;
    QTRY_VERIFY_WITH_TIMEOUT(held || (held = hung.nextPendingConnection()), 30000);

    // The writer waits for the listener's greeting, up to the driver's
    // connect time limit; every row handed over meanwhile returns at once.
    QStringList expected;
    for (int i = 0; i < 20; ++i) {
        expected.append(QStringLiteral("hung ") + QString::number(i));
        db.database->writeMeasurement(sampleMeasurement(expected.last()));
    }
    db.database->writeEvent(sampleEvent(QStringLiteral("while hung")));
    QCOMPARE(held->state(), QAbstractSocket::ConnectedState);
    QVERIFY(!held->waitForDisconnected(0));
    QCOMPARE(db.trace->since(0).filter(QStringLiteral("Can not connect to ")), QStringList());
    QCOMPARE(db.database->unsentRows(), 21);

    // Pointed back at the real server, the rows arrive, in order.
    db.registry->setKey(QStringLiteral("dbport"), QString::number(server->port()));
    db.database->openConnection();
    QTRY_COMPARE_WITH_TIMEOUT(
            rows(QStringLiteral("SELECT status FROM upsmeasurements ORDER BY id")), expected,
            90000);
    QTRY_COMPARE_WITH_TIMEOUT(rows(QStringLiteral("SELECT message FROM upsevents")),
                              QStringList{QStringLiteral("while hung")}, 30000);
    QTRY_COMPARE_WITH_TIMEOUT(db.database->unsentRows(), 0, 30000);
}

void TestLogWriter::rowInDoubtIsStoredOnce_data()
{
    QTest::addColumn<int>("drop");
    // The packet the connection breaks at.
    QTest::addColumn<QByteArray>("marker");
    // The rows alike come from another program, while this one is away.
    QTest::addColumn<bool>("fromOtherProgram");
    // The account may insert, and not read what it stored.
    QTest::addColumn<bool>("insertOnly");
    QTest::newRow("stored, answer lost") << int(TcpProxy::Drop::AfterServerReply)
                                         << QByteArray("Power failure.") << false << false;
    QTest::newRow("lost before the server")
            << int(TcpProxy::Drop::BeforeServer) << QByteArray("Power failure.") << false << false;
    QTest::newRow("committed, answer lost")
            << int(TcpProxy::Drop::AfterServerReply) << QByteArray("COMMIT") << false << false;
    QTest::newRow("lost before the server, another program's rows alike")
            << int(TcpProxy::Drop::BeforeServer) << QByteArray("Power failure.") << true << false;
    QTest::newRow("stored, answer lost, account may not read")
            << int(TcpProxy::Drop::AfterServerReply) << QByteArray("Power failure.") << false
            << true;
}

void TestLogWriter::rowInDoubtIsStoredOnce()
{
    QFETCH(int, drop);
    QFETCH(QByteArray, marker);
    QFETCH(bool, fromOtherProgram);
    QFETCH(bool, insertOnly);
    TcpProxy proxy(server->host(), quint16(server->port()));
    QVERIFY(proxy.isListening());
    DatabaseUnderTest db(*server, schema);
    db.registry->setKey(QStringLiteral("dbport"), QString::number(proxy.port()));
    if (insertOnly) {
        for (const QString &statement : {ServerConnection::createMeasurementsStatement(),
                                         ServerConnection::createEventsStatement(),
                                         ServerConnection::createDeliveryStatement()})
            QVERIFY2(server->exec(statement, schema), qPrintable(server->lastError()));
        signInAs(db, QStringLiteral("GRANT INSERT ON `") + schema + QStringLiteral("`.*"));
        if (QTest::currentTestFailed())
            return;
    }
    db.database->setReconnectBackoff(50, 400);
    QVERIFY(openAndAwaitAnswer(*db.database));
    QVERIFY(db.database->isConnected());

    // Two rows alike are on the server, and the row in doubt must be told
    // from them: this program's own, sent before, or another program's (on
    // Linux its machine number is the same "N/A"), stored while this one was
    // away with its row in doubt.
    const QStringList failure = sampleEvent(QStringLiteral("Power failure."));
    const auto storeTwoAlike = [&failure](DataBase &database) {
        database.writeEvent(failure);
        database.writeEvent(failure);
        QTRY_COMPARE_WITH_TIMEOUT(database.unsentRows(), 0, 30000);
    };
    if (!fromOtherProgram)
        storeTwoAlike(*db.database);
    if (QTest::currentTestFailed())
        return;

    // The connection breaks at the next INSERT (or COMMIT) of that row.
    proxy.dropAt(marker, TcpProxy::Drop(drop), fromOtherProgram);
    db.database->writeEvent(failure);
    db.database->writeEvent(sampleEvent(QStringLiteral("Power is back. UPS running on mains.")));
    QTRY_VERIFY_WITH_TIMEOUT(proxy.hasDropped(), 30000);
    if (fromOtherProgram) {
        DatabaseUnderTest other(*server, schema);
        QVERIFY(openAndAwaitAnswer(*other.database));
        storeTwoAlike(*other.database);
        if (QTest::currentTestFailed())
            return;
        proxy.setRefusing(false);
    }
    QTRY_COMPARE_WITH_TIMEOUT(db.database->unsentRows(), 0, 60000);

    QCOMPARE(rows(QStringLiteral("SELECT message FROM upsevents ORDER BY id")),
             (QStringList{QStringLiteral("Power failure."), QStringLiteral("Power failure."),
                          QStringLiteral("Power failure."),
                          QStringLiteral("Power is back. UPS running on mains.")}));
    QVERIFY(notices.isEmpty());
}

void TestLogWriter::refusingTableNeitherStormsNorBlocks_data()
{
    // Run on the tables before the program starts, and to mend them.
    QTest::addColumn<QStringList>("breakage");
    QTest::addColumn<QStringList>("repair");
    // The program signs in as a reader of the schema.
    QTest::addColumn<bool>("asReader");
    // The table that still takes rows meanwhile; "" when neither does.
    QTest::addColumn<QString>("healthyTable");
    // The server refuses the values: the rows wait for the settings to be
    // saved (or the hour), not for a retry of their own.
    QTest::addColumn<bool>("refusedForValues");

    QTest::newRow("a column that refuses the values with a warning")
            << QStringList{QStringLiteral("ALTER TABLE upsmeasurements MODIFY linevoltage int")}
            << QStringList{QStringLiteral(
                       "ALTER TABLE upsmeasurements MODIFY linevoltage varchar(20) NOT NULL")}
            << false << QStringLiteral("upsevents") << true;
    QTest::newRow("measurement table lacks a column")
            << QStringList{QStringLiteral("ALTER TABLE upsmeasurements DROP COLUMN linevoltage")}
            << QStringList{QStringLiteral("ALTER TABLE upsmeasurements ADD COLUMN linevoltage "
                                          "varchar(20) NOT NULL AFTER linenomvoltage")}
            << false << QStringLiteral("upsevents") << false;
    // Table privileges reach a session at its next statement.
    QStringList grants;
    for (const char *table : {"upsmeasurements", "upsevents", "voltrine_delivery"})
        grants << QStringLiteral("GRANT INSERT, DELETE ON %1 TO 'limited'@'127.0.0.1'")
                          .arg(QLatin1String(table));
    QTest::newRow("account may only read") << QStringList() << grants << true << QString() << false;
}

void TestLogWriter::refusingTableNeitherStormsNorBlocks()
{
    QFETCH(QStringList, breakage);
    QFETCH(QStringList, repair);
    QFETCH(bool, asReader);
    QFETCH(QString, healthyTable);
    QFETCH(bool, refusedForValues);
    for (const QString &statement : QStringList{ServerConnection::createMeasurementsStatement(),
                                                ServerConnection::createEventsStatement(),
                                                ServerConnection::createDeliveryStatement()} +
                 breakage)
        QVERIFY2(server->exec(statement, schema), qPrintable(server->lastError()));

    TcpProxy proxy(server->host(), quint16(server->port()));
    QVERIFY(proxy.isListening());
    DatabaseUnderTest db(*server, schema);
    db.registry->setKey(QStringLiteral("dbport"), QString::number(proxy.port()));
    if (asReader)
        signInAs(db, QStringLiteral("GRANT SELECT ON `") + schema + QStringLiteral("`.*"));
    if (QTest::currentTestFailed())
        return;
    // A reconnect storm would open a connection every 50 ms.
    db.database->setReconnectBackoff(50, 400);
    QVERIFY(openAndAwaitAnswer(*db.database));
    QVERIFY(db.database->isConnected());

    for (int i = 0; i < 3; ++i) {
        db.database->writeMeasurement(
                sampleMeasurement(QStringLiteral("ONLINE ") + QString::number(i)));
        db.database->writeEvent(sampleEvent(QStringLiteral("event ") + QString::number(i)));
    }
    const auto refusals = [&db] {
        return db.trace->since(0).filter(QRegularExpression(QStringLiteral("^Write \\w+ error")));
    };
    QTRY_VERIFY_WITH_TIMEOUT(!refusals().isEmpty(), 30000);
    if (!healthyTable.isEmpty())
        QTRY_COMPARE_WITH_TIMEOUT(rows(QStringLiteral("SELECT COUNT(*) FROM ") + healthyTable),
                                  QStringList{QStringLiteral("3")}, 30000);
    // Time for a storm to show: the refused kind is tried again and again.
    QTest::qWait(3000);
    QVERIFY2(proxy.connectionsAccepted() <= 2,
             qPrintable(QString::number(proxy.connectionsAccepted())));
    QCOMPARE(refusals().size(), asReader ? 2 : 1);
    const QString state = refusedForValues ? QStringLiteral("3") : QStringLiteral("0");
    QCOMPARE(db.journalRows(QStringLiteral("upsmeasurements"), QStringLiteral("state")),
             (QStringList() << state << state << state));
    QCOMPARE(rows(QStringLiteral("SELECT COUNT(*) FROM upsmeasurements")),
             QStringList{QStringLiteral("0")});

    for (const QString &statement : repair)
        QVERIFY2(server->exec(statement, schema), qPrintable(server->lastError()));
    if (refusedForValues)
        db.database->openConnection();
    QTRY_COMPARE_WITH_TIMEOUT(
            rows(QStringLiteral("SELECT status FROM upsmeasurements ORDER BY id")),
            (QStringList{QStringLiteral("ONLINE 0"), QStringLiteral("ONLINE 1"),
                         QStringLiteral("ONLINE 2")}),
            30000);
    QTRY_COMPARE_WITH_TIMEOUT(db.database->unsentRows(), 0, 30000);
    QCOMPARE(rows(QStringLiteral("SELECT message FROM upsevents ORDER BY id")),
             (QStringList{QStringLiteral("event 0"), QStringLiteral("event 1"),
                          QStringLiteral("event 2")}));
}

VOLTRINE_DB_TEST_MAIN(TestLogWriter)
#include "tst_logwriter.moc"
