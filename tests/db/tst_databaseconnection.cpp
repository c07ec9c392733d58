// The connection: settings imported from the user registry, the connection
// string, success, refusal with its message box, reconnection on save.
#include "dbtesthelpers.h"
#include "messagebox.h"
#include "userregistry.h"

#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTimer>

class TestDatabaseConnection final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void importFromUserRegistry_data();
    void importFromUserRegistry();
    void importKeepsExistingSettings();
    void importSkipsValuesTheFileCannotHold();
    void connectionString_data();
    void connectionString();
    void connects_data();
    void connects();
    void refused_data();
    void refused();
    void passwordWithConnectionStringCharacters();
    void reconnectOnSave();
    void silentServerDoesNotHang();
    void refusalShowsMessageBox();

private:
    std::unique_ptr<TestMariaDb> server;
    QString schema;
    QStringList notices;
};

void TestDatabaseConnection::initTestCase()
{
    DataBase::setFailureNotice([this](const QString &text) { notices.append(text); });
    server = std::make_unique<TestMariaDb>();
    QVERIFY2(server->isValid(), qPrintable(server->errorString()));
}

void TestDatabaseConnection::init()
{
    notices.clear();
    openUserRegistry(QStringLiteral("LoggingDatabase"))->clear();
    schema = freshSchemaName("connection");
    QVERIFY2(server->createSchema(schema), qPrintable(server->lastError()));
}

void TestDatabaseConnection::cleanup()
{
    server->exec(QStringLiteral("DROP DATABASE IF EXISTS ") + schema);
}

void TestDatabaseConnection::importFromUserRegistry_data()
{
    QTest::addColumn<QString>("driverName");
    QTest::addColumn<QString>("expectedVersion");
    QTest::newRow("5.3 driver name")
            << QStringLiteral("MySQL ODBC 5.3 Unicode Driver") << QStringLiteral("5.3");
    QTest::newRow("5.1 driver name")
            << QStringLiteral("MySQL ODBC 5.1 Driver") << QStringLiteral("5.1");
    QTest::newRow("5.2 ANSI name")
            << QStringLiteral("MySQL ODBC 5.2a Driver") << QStringLiteral("5.2");
    QTest::newRow("version alone") << QStringLiteral("5.3") << QStringLiteral("5.3");
    QTest::newRow("unknown name kept") << QStringLiteral("MariaDB") << QStringLiteral("MariaDB");
}

void TestDatabaseConnection::importFromUserRegistry()
{
    QFETCH(QString, driverName);
    QFETCH(QString, expectedVersion);
    {
        const auto source = openUserRegistry(QStringLiteral("LoggingDatabase"));
        source->setValue(QStringLiteral("hostname"), QStringLiteral("db.example.org"));
        source->setValue(QStringLiteral("port"), QStringLiteral("3307"));
        source->setValue(QStringLiteral("dbname"), QStringLiteral("upsdb"));
        source->setValue(QStringLiteral("drivername"), driverName);
        source->setValue(QStringLiteral("username"), QStringLiteral("ups"));
        source->setValue(QStringLiteral("password"), QStringLiteral("s3cret"));
    }

    QTemporaryDir dir;
    Logs logs(dir.filePath(QStringLiteral("Trace.log")));
    TraceRecorder trace(&logs);
    const QString confdata = dir.filePath(QStringLiteral("confdata"));
    {
        Registry registry(&logs, confdata);
        DataBase database(&registry, &logs);
        QVERIFY(!database.isConnected());
    }

    const QStringList expectedLines{
            QStringLiteral("DBHOST:db.example.org"),
            QStringLiteral("DBPORT:3307"),
            QStringLiteral("DBNAME:upsdb"),
            QStringLiteral("DBVDRIVER:") + expectedVersion,
            QStringLiteral("DBUSER:ups"),
            QStringLiteral("DBPASSWD:733363726574"),
    };
    QStringList expectedTrace{QStringLiteral("Initializing DataBase Begin")};
    const QStringList keys{QStringLiteral("dbhost"), QStringLiteral("dbport"),
                           QStringLiteral("dbname"), QStringLiteral("dbvdriver"),
                           QStringLiteral("dbuser"), QStringLiteral("dbpasswd")};
    for (int i = 0; i < keys.size(); ++i) {
        expectedTrace += QStringLiteral("Can not Found Configuration key:") + keys.at(i);
        // The password's key is traced with its value masked.
        expectedTrace += QStringLiteral("New Configuration key Created as:") +
                (keys.at(i) == QLatin1String("dbpasswd") ? QStringLiteral("DBPASSWD:********")
                                                         : expectedLines.at(i));
    }
    expectedTrace += QStringLiteral("Initializing DataBase End");
    const int begin = trace.messages().indexOf(QStringLiteral("Initializing DataBase Begin"));
    QCOMPARE(trace.messages().mid(begin), expectedTrace);

    // A new start reads them back; the password decodes to what the registry held.
    Registry reloaded(&logs, confdata);
    QCOMPARE(reloaded.storedLines().mid(2), expectedLines);
    QCOMPARE(reloaded.getKey(QStringLiteral("dbpasswd"), true), QStringLiteral("s3cret"));
}

void TestDatabaseConnection::importKeepsExistingSettings()
{
    {
        const auto source = openUserRegistry(QStringLiteral("LoggingDatabase"));
        source->setValue(QStringLiteral("hostname"), QStringLiteral("registryhost"));
        source->setValue(QStringLiteral("dbname"), QStringLiteral("registrydb"));
        // port, drivername, username and password are absent
    }
    QTemporaryDir dir;
    Logs logs(dir.filePath(QStringLiteral("Trace.log")));
    const QString confdata = dir.filePath(QStringLiteral("confdata"));
    {
        Registry registry(&logs, confdata);
        registry.setKey(QStringLiteral("dbhost"), QStringLiteral("confhost"));
        DataBase database(&registry, &logs);
    }
    Registry reloaded(&logs, confdata);
    // No "KEY:" line for an absent value: the whole file loads again.
    QVERIFY(!reloaded.loadFailed());
    QCOMPARE(reloaded.storedLines().mid(2),
             (QStringList{QStringLiteral("DBHOST:confhost"), QStringLiteral("DBNAME:registrydb")}));
}

// Values the settings file could not give back are left to the
// configuration page: none of them stops or changes the next load.
void TestDatabaseConnection::importSkipsValuesTheFileCannotHold()
{
    {
        const auto source = openUserRegistry(QStringLiteral("LoggingDatabase"));
        source->setValue(QStringLiteral("hostname"), QStringLiteral("db host.example.org"));
        source->setValue(QStringLiteral("dbname"), QStringLiteral("ups@log"));
        source->setValue(QStringLiteral("username"), QStringLiteral("ups"));
        source->setValue(QStringLiteral("password"), QStringLiteral("s3cret\u20ac"));
    }
    QTemporaryDir dir;
    Logs logs(dir.filePath(QStringLiteral("Trace.log")));
    TraceRecorder trace(&logs);
    const QString confdata = dir.filePath(QStringLiteral("confdata"));
    {
        Registry registry(&logs, confdata);
        DataBase database(&registry, &logs);
    }
    Registry reloaded(&logs, confdata);
    QVERIFY(!reloaded.loadFailed());
    QCOMPARE(reloaded.storedLines().mid(2), QStringList{QStringLiteral("DBUSER:ups")});
    for (const char *key : {"dbhost", "dbname", "dbpasswd"})
        QVERIFY2(trace.messages().contains(QStringLiteral("Registry value not imported, the "
                                                          "configuration file cannot hold it: ") +
                                           QLatin1String(key)),
                 key);
    QVERIFY(!trace.messages().join(QLatin1Char('\n')).contains(QStringLiteral("s3cret")));
}

void TestDatabaseConnection::connectionString_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("database");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("fixedPart");
    QTest::addColumn<QString>("serverPart");
    QTest::newRow("5.1 and ups") << QStringLiteral("5.1") << QStringLiteral("ups")
                                 << QStringLiteral("dbhost") << 3306
                                 << QStringLiteral(
                                            "Driver={MySQL ODBC 5.1 Unicode Driver};DATABASE=ups;")
                                 << QStringLiteral("SERVER=dbhost;PORT=3306;");
    QTest::newRow("5.3 and upsdb")
            << QStringLiteral("5.3") << QStringLiteral("upsdb") << QStringLiteral("10.0.0.5")
            << 3307 << QStringLiteral("Driver={MySQL ODBC 5.3 Unicode Driver};DATABASE=upsdb;")
            << QStringLiteral("SERVER=10.0.0.5;PORT=3307;");
    QTest::newRow("unknown driver kept")
            << QStringLiteral("MariaDB") << QStringLiteral("ups") << QStringLiteral("h") << 0
            << QStringLiteral("Driver={MySQL ODBC MariaDB Unicode Driver};DATABASE=ups;")
            << QStringLiteral("SERVER=h;PORT=0;");
    QTest::newRow("IPv6 without brackets")
            << QStringLiteral("8.0") << QStringLiteral("ups") << QStringLiteral("[::1]") << 3306
            << QStringLiteral("Driver={MySQL ODBC 8.0 Unicode Driver};DATABASE=ups;")
            << QStringLiteral("SERVER=::1;PORT=3306;");
    QTest::newRow("semicolon in host braced")
            << QStringLiteral("5.3") << QStringLiteral("ups") << QStringLiteral("a;PORT=1") << 3306
            << QStringLiteral("Driver={MySQL ODBC 5.3 Unicode Driver};DATABASE=ups;")
            << QStringLiteral("SERVER={a;PORT=1};PORT=3306;");
}

void TestDatabaseConnection::connectionString()
{
    QFETCH(QString, version);
    QFETCH(QString, database);
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(QString, fixedPart);
    QFETCH(QString, serverPart);
    const QString text = ServerConnection::connectionString(version, database, host, port);
    QVERIFY2(text.startsWith(fixedPart + serverPart), qPrintable(text));
}

void TestDatabaseConnection::connects_data()
{
    QTest::addColumn<QString>("version");
    // Every name that scripts/register-odbc-driver registers.
    QTest::newRow("5.1") << QStringLiteral("5.1");
    QTest::newRow("5.2") << QStringLiteral("5.2");
    QTest::newRow("5.3") << QStringLiteral("5.3");
    QTest::newRow("8.0") << QStringLiteral("8.0");
}

void TestDatabaseConnection::connects()
{
    QFETCH(QString, version);
    ConnectionUnderTest db(*server, schema, version);
    QCOMPARE(db.open(), ServerConnection::OpenResult::Connected);
    const QString record = QStringLiteral("Connected to ") + schema + QStringLiteral(" as ") +
            server->user() + QLatin1Char('@') + server->host() + QLatin1Char(':') +
            QString::number(server->port()) + QStringLiteral(" Driver version ") + version;
    QVERIFY2(db.messages().contains(record), qPrintable(db.messages().join(QLatin1Char('\n'))));
    // The password never reaches the trace.
    QVERIFY(!db.messages().join(QLatin1Char('\n')).contains(server->password()));
    QCOMPARE(server->query(QStringLiteral("SHOW TABLES"), schema),
             (QStringList{QStringLiteral("upsevents"), QStringLiteral("upsmeasurements"),
                          QStringLiteral("voltrine_delivery")}));
}

void TestDatabaseConnection::refused_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("driverMessage");
    QTest::newRow("wrong password") << QStringLiteral("dbpasswd") << QStringLiteral("wrong")
                                    << QStringLiteral("Access denied for user");
    QTest::newRow("unknown user") << QStringLiteral("dbuser") << QStringLiteral("nobody")
                                  << QStringLiteral("Access denied for user 'nobody'");
    QTest::newRow("unknown database")
            << QStringLiteral("dbname") << QStringLiteral("no_such_schema")
            << QStringLiteral("Unknown database 'no_such_schema'");
    QTest::newRow("driver not registered") << QStringLiteral("dbvdriver") << QStringLiteral("9.9")
                                           << QStringLiteral("MySQL ODBC 9.9 Unicode Driver");
    QTest::newRow("port not a number") << QStringLiteral("dbport") << QStringLiteral("abc")
                                       << QStringLiteral("Can't connect to server on '127.0.0.1'");
}

void TestDatabaseConnection::refused()
{
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QString, driverMessage);
    DatabaseUnderTest db(*server, schema);
    db.registry->setKey(key, value, key == QLatin1String("dbpasswd"));
    const int mark = db.messages().size();
    QVERIFY(openAndAwaitAnswer(*db.database));
    QVERIFY(!db.database->isConnected());

    const QString expectedPort =
            key == QLatin1String("dbport") ? QStringLiteral("0") : QString::number(server->port());
    const QString begin = QStringLiteral("Can not connect to ") +
            db.registry->getKey(QStringLiteral("dbname")) + QStringLiteral(" as ") +
            db.registry->getKey(QStringLiteral("dbuser")) + QLatin1Char('@') + server->host() +
            QLatin1Char(':') + expectedPort + QStringLiteral(" Driver version ") +
            db.registry->getKey(QStringLiteral("dbvdriver")) + QStringLiteral(" Error: ");
    const QStringList traced = db.trace->since(mark).filter(QStringLiteral("Can not connect to "));
    QCOMPARE(traced.size(), 1);
    QVERIFY2(traced.first().startsWith(begin), qPrintable(traced.first()));
    QVERIFY2(traced.first().contains(driverMessage), qPrintable(traced.first()));
    const QString error = traced.first().mid(begin.size());

    QCOMPARE(notices, QStringList{QStringLiteral("Can not connect to database \n") + error});

    // Later writes wait in the journal and leave no record.
    const int afterOpen = db.messages().size();
    db.database->writeMeasurement(sampleMeasurement());
    db.database->writeEvent(sampleEvent(QStringLiteral("Power failure.")));
    QCOMPARE(db.trace->since(afterOpen), QStringList());
    QCOMPARE(db.database->unsentRows(), 2);
    QVERIFY(server->query(QStringLiteral("SHOW TABLES"), schema).isEmpty());
}

void TestDatabaseConnection::passwordWithConnectionStringCharacters()
{
    const QString user = QStringLiteral("odd;user");
    const QString password = QStringLiteral("p;w{x}}=y;PWD=");
    QVERIFY(server->exec(QStringLiteral("DROP USER IF EXISTS 'odd;user'@'127.0.0.1'")));
    QVERIFY2(server->exec(QStringLiteral(
                     "CREATE USER 'odd;user'@'127.0.0.1' IDENTIFIED BY 'p;w{x}}=y;PWD='")),
             qPrintable(server->lastError()));
    QVERIFY(server->exec(QStringLiteral("GRANT ALL ON `") + schema +
                         QStringLiteral("`.* TO 'odd;user'@'127.0.0.1'")));

    ConnectionUnderTest db(*server, schema);
    db.registry->setKey(QStringLiteral("dbuser"), user);
    db.registry->setKey(QStringLiteral("dbpasswd"), password, true);
    QCOMPARE(db.open(), ServerConnection::OpenResult::Connected);
    QCOMPARE(db.writeEvent(sampleEvent(QStringLiteral("Power failure."))),
             ServerConnection::Outcome::Stored);
    QCOMPARE(server->query(QStringLiteral("SELECT message FROM upsevents"), schema),
             QStringList{QStringLiteral("Power failure.")});
}

void TestDatabaseConnection::reconnectOnSave()
{
    DatabaseUnderTest db(*server, schema);
    QVERIFY(openAndAwaitAnswer(*db.database));
    QVERIFY(db.database->isConnected());
    const auto connectionRecords = [&db](int mark) {
        return db.trace->since(mark).filter(
                QRegularExpression(QStringLiteral("^(Database|Connected|Can not)")));
    };

    // Saved settings naming another schema: disconnected, then connected there.
    const QString other = freshSchemaName("connection");
    QVERIFY(server->createSchema(other));
    db.registry->setKey(QStringLiteral("dbname"), other);
    int mark = db.messages().size();
    db.database->openConnection();
    QTRY_COMPARE_WITH_TIMEOUT(connectionRecords(mark).size(), 2, 30000);
    QStringList traced = connectionRecords(mark);
    QCOMPARE(traced.value(0), QStringLiteral("Database disconnected"));
    QVERIFY2(traced.value(1).startsWith(QStringLiteral("Connected to ") + other),
             qPrintable(traced.join(QLatin1Char('\n'))));
    db.database->writeEvent(sampleEvent(QStringLiteral("in the other schema")));
    QTRY_COMPARE_WITH_TIMEOUT(server->query(QStringLiteral("SELECT message FROM upsevents"), other),
                              QStringList{QStringLiteral("in the other schema")}, 30000);

    // Saved with a wrong password: disconnected, then refused with the box.
    db.registry->setKey(QStringLiteral("dbpasswd"), QStringLiteral("wrong"), true);
    mark = db.messages().size();
    db.database->openConnection();
    QTRY_COMPARE_WITH_TIMEOUT(notices.size(), 1, 30000);
    traced = connectionRecords(mark);
    QCOMPARE(traced.value(0), QStringLiteral("Database disconnected"));
    QVERIFY(traced.value(1).startsWith(QStringLiteral("Can not connect to ")));
    QVERIFY(!db.database->isConnected());

    // Repaired: no disconnection record (nothing was connected), connected again.
    db.registry->setKey(QStringLiteral("dbpasswd"), server->password(), true);
    mark = db.messages().size();
    db.database->openConnection();
    QTRY_VERIFY_WITH_TIMEOUT(db.database->isConnected(), 30000);
    traced = connectionRecords(mark);
    QCOMPARE(traced.size(), 1);
    QVERIFY(traced.first().startsWith(QStringLiteral("Connected to ")));
    QCOMPARE(notices.size(), 1);
    server->exec(QStringLiteral("DROP DATABASE ") + other);
}

void TestDatabaseConnection::silentServerDoesNotHang()
{
    // Accepts the TCP connection (the kernel does, from the backlog) and never
    // says a word: the driver's connect time limit ends the wait.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    DatabaseUnderTest db(*server, schema);
    db.registry->setKey(QStringLiteral("dbport"), QString::number(silent.serverPort()));
    db.database->openConnection();
    QTRY_COMPARE_WITH_TIMEOUT(notices.size(), 1, 60000);
    QVERIFY(!db.database->isConnected());
    QVERIFY2(notices.first().startsWith(QStringLiteral("Can not connect to database \n")),
             qPrintable(notices.first()));
}

void TestDatabaseConnection::refusalShowsMessageBox()
{
    // The window's notice: a modal box without parent, the error, one OK button.
    struct RestoreNotice
    {
        DataBase::FailureNotice notice;
        ~RestoreNotice() { DataBase::setFailureNotice(notice); }
    } restore{DataBase::setFailureNotice(MessageBox::showNotice)};

    DatabaseUnderTest db(*server, schema);
    db.registry->setKey(QStringLiteral("dbpasswd"), QStringLiteral("wrong"), true);

    QString shownText;
    int buttons = -1;
    bool modal = false;
    bool hadParent = true;
    QTimer poll;
    connect(&poll, &QTimer::timeout, [&] {
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            auto *box = qobject_cast<QMessageBox *>(widget);
            if (!box || !box->isVisible())
                continue;
            shownText = box->text();
            buttons = box->buttons().size();
            modal = box->isModal();
            hadParent = box->parentWidget() != nullptr;
            box->button(QMessageBox::Ok)->click();
        }
    });
    poll.start(20);
    QVERIFY(openAndAwaitAnswer(*db.database));
    QTRY_VERIFY(!shownText.isEmpty());
    poll.stop();
    QVERIFY(!db.database->isConnected());
    QVERIFY2(shownText.startsWith(QStringLiteral("Can not connect to database \n")),
             qPrintable(shownText));
    QVERIFY(shownText.contains(QStringLiteral("Access denied")));
    QCOMPARE(buttons, 1);
    QVERIFY(modal);
    QVERIFY(!hadParent);
    QVERIFY(notices.isEmpty());
}

VOLTRINE_DB_TEST_MAIN(TestDatabaseConnection)
#include "tst_databaseconnection.moc"
