// Rows handed over while the server hangs, and rows whose connection broke
// while they were out, against the private MariaDB server.
#include "dbtesthelpers.h"
#include "tcpproxy.h"

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

private:
    QStringList rows(const QString &statement) { return server->query(statement, schema); }

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
    QTest::newRow("stored, answer lost") << int(TcpProxy::Drop::AfterServerReply);
    QTest::newRow("lost before the server") << int(TcpProxy::Drop::BeforeServer);
}

void TestLogWriter::rowInDoubtIsStoredOnce()
{
    QFETCH(int, drop);
    TcpProxy proxy(server->host(), quint16(server->port()));
    QVERIFY(proxy.isListening());
    DatabaseUnderTest db(*server, schema);
    db.registry->setKey(QStringLiteral("dbport"), QString::number(proxy.port()));
    db.database->setReconnectBackoff(50, 400);
    QVERIFY(openAndAwaitAnswer(*db.database));
    QVERIFY(db.database->isConnected());

    // Two rows alike went out before: the table holds them already, and the
    // row in doubt must be told from them.
    const QStringList failure = sampleEvent(QStringLiteral("Power failure."));
    db.database->writeEvent(failure);
    db.database->writeEvent(failure);
    QTRY_COMPARE_WITH_TIMEOUT(db.database->unsentRows(), 0, 30000);

    // The connection breaks at the next INSERT of that row.
    proxy.dropAt("Power failure.", TcpProxy::Drop(drop));
    db.database->writeEvent(failure);
    db.database->writeEvent(sampleEvent(QStringLiteral("Power is back. UPS running on mains.")));
    QTRY_VERIFY_WITH_TIMEOUT(proxy.hasDropped(), 30000);
    QTRY_COMPARE_WITH_TIMEOUT(db.database->unsentRows(), 0, 60000);

    QCOMPARE(rows(QStringLiteral("SELECT message FROM upsevents ORDER BY id")),
             (QStringList{QStringLiteral("Power failure."), QStringLiteral("Power failure."),
                          QStringLiteral("Power failure."),
                          QStringLiteral("Power is back. UPS running on mains.")}));
    QVERIFY(notices.isEmpty());
}

VOLTRINE_DB_TEST_MAIN(TestLogWriter)
#include "tst_logwriter.moc"
