// The tables, the writes and the newest-event read, against the private
// MariaDB server through unixODBC, MariaDB Connector/ODBC and QODBC.
#include "dbtesthelpers.h"

#include <QRegularExpression>
#include <QSqlQuery>
#include <QTextCodec>

namespace {

const QString expectedMeasurementsTable =
        QStringLiteral("CREATE TABLE `upsmeasurements` (\n"
                       "  `id` int(11) NOT NULL AUTO_INCREMENT,\n"
                       "  `status` varchar(20) NOT NULL,\n"
                       "  `linenomvoltage` varchar(20) NOT NULL,\n"
                       "  `linevoltage` varchar(20) NOT NULL,\n"
                       "  `battnomvoltage` varchar(20) NOT NULL,\n"
                       "  `battvoltage` varchar(20) NOT NULL,\n"
                       "  `nompower` varchar(20) NOT NULL,\n"
                       "  `loadpower` varchar(20) NOT NULL,\n"
                       "  `battlastexch` varchar(20) NOT NULL,\n"
                       "  `statusflag` varchar(20) NOT NULL,\n"
                       "  `sessionbattswitch` varchar(5) NOT NULL,\n"
                       "  `lastbattsince` varchar(30) NOT NULL,\n"
                       "  `lastacsince` varchar(30) NOT NULL,\n"
                       "  `battswitchreason` varchar(50) NOT NULL,\n"
                       "  `battlevel` varchar(20) NOT NULL,\n"
                       "  `onbattsince` varchar(20) NOT NULL,\n"
                       "  `batttotaltime` varchar(20) NOT NULL,\n"
                       "  `lastselftestresult` varchar(50) NOT NULL,\n"
                       "  `laststart` varchar(30) NOT NULL,\n"
                       "  `lastupsdump` varchar(30) NOT NULL,\n"
                       "  `mcid` varchar(5) NOT NULL,\n"
                       "  `datetime` varchar(30) NOT NULL,\n"
                       "  `monitorversion` varchar(10) NOT NULL,\n"
                       "  PRIMARY KEY (`id`)\n"
                       ") ENGINE=InnoDB DEFAULT CHARSET=latin1");

const QString expectedEventsTable = QStringLiteral("CREATE TABLE `upsevents` (\n"
                                                   "  `id` int(11) NOT NULL AUTO_INCREMENT,\n"
                                                   "  `model` varchar(30) NOT NULL,\n"
                                                   "  `message` text NOT NULL,\n"
                                                   "  `startdate` varchar(30) NOT NULL,\n"
                                                   "  `lastdump` varchar(30) NOT NULL,\n"
                                                   "  `datetime` varchar(30) NOT NULL,\n"
                                                   "  `mcid` varchar(5) NOT NULL,\n"
                                                   "  `monitorversion` varchar(10) NOT NULL,\n"
                                                   "  PRIMARY KEY (`id`)\n"
                                                   ") ENGINE=InnoDB DEFAULT CHARSET=latin1");

const QVector<int> measurementWidths{20, 20, 20, 20, 20, 20, 20, 20, 20, 5,  30,
                                     30, 50, 20, 20, 20, 50, 30, 30, 5,  30, 10};

// What MySQL's latin1 (code page 1252) stores for the value, as hexadecimal.
QString latin1Hex(const QString &value)
{
    QByteArray bytes;
    for (const uint c : value.toUcs4()) {
        // MySQL keeps the five bytes that code page 1252 leaves unassigned.
        if (c < 0x80 || (c >= 0xA0 && c <= 0xFF) || c == 0x81 || c == 0x8D || c == 0x8F ||
            c == 0x90 || c == 0x9D) {
            bytes.append(char(c));
            continue;
        }
        static const QHash<uint, char> extras{
                {0x20AC, char(0x80)}, {0x201A, char(0x82)}, {0x0192, char(0x83)},
                {0x201E, char(0x84)}, {0x2026, char(0x85)}, {0x2020, char(0x86)},
                {0x2021, char(0x87)}, {0x02C6, char(0x88)}, {0x2030, char(0x89)},
                {0x0160, char(0x8A)}, {0x2039, char(0x8B)}, {0x0152, char(0x8C)},
                {0x017D, char(0x8E)}, {0x2018, char(0x91)}, {0x2019, char(0x92)},
                {0x201C, char(0x93)}, {0x201D, char(0x94)}, {0x2022, char(0x95)},
                {0x2013, char(0x96)}, {0x2014, char(0x97)}, {0x02DC, char(0x98)},
                {0x2122, char(0x99)}, {0x0161, char(0x9A)}, {0x203A, char(0x9B)},
                {0x0153, char(0x9C)}, {0x017E, char(0x9E)}, {0x0178, char(0x9F)},
        };
        bytes.append(extras.value(c, '?'));
    }
    return QString::fromLatin1(bytes.toHex().toUpper());
}

QString u8(const char *text)
{
    return QString::fromUtf8(text);
}

} // namespace

class TestDatabaseWrites final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void tablesCreatedWithTheirLayout();
    void secondOpenChangesNothing();
    void existingTablesAreLeftAlone();
    void measurementRow();
    void eventRow();
    void idGrowsByOnePerRow();
    void wrongValueCount_data();
    void wrongValueCount();
    void emptyValuesStoredAsNA_data();
    void emptyValuesStoredAsNA();
    void hostileValuesStoredAsGiven_data();
    void hostileValuesStoredAsGiven();
    void longValuesAreCut_data();
    void longValuesAreCut();
    void everyMeasurementColumnCutToItsWidth();
    void valuesFittedToTheTablesTheServerHas();
    void utf8TextColumnCutByBytes();
    void lastEventMessageByHighestId();
    void lastEventMessageOfEmptyTable();
    void lastEventMessageAfterQueryError();
    void notConnectedSendsNothing();
    void queryErrorIsTraced();

private:
    QStringList rows(const QString &statement) { return server->query(statement, schema); }
    int count(const QString &table)
    {
        return rows(QStringLiteral("SELECT COUNT(*) FROM ") + table)
                .value(0, QStringLiteral("-1"))
                .toInt();
    }
    QString showCreate(const QString &table);

    std::unique_ptr<TestMariaDb> server;
    std::unique_ptr<ConnectionUnderTest> db;
    QString schema;
};

void TestDatabaseWrites::initTestCase()
{
    server = std::make_unique<TestMariaDb>();
    QVERIFY2(server->isValid(), qPrintable(server->errorString()));
}

void TestDatabaseWrites::init()
{
    schema = freshSchemaName("writes");
    QVERIFY2(server->createSchema(schema), qPrintable(server->lastError()));
    db = std::make_unique<ConnectionUnderTest>(*server, schema);
}

void TestDatabaseWrites::cleanup()
{
    db.reset();
    server->exec(QStringLiteral("DROP DATABASE IF EXISTS ") + schema);
}

QString TestDatabaseWrites::showCreate(const QString &table)
{
    QSqlDatabase check = QSqlDatabase::addDatabase(QStringLiteral("QODBC"), QStringLiteral("show"));
    QString text;
    {
        check.setDatabaseName(QStringLiteral("Driver={MySQL ODBC 5.3 Unicode Driver};SERVER=") +
                              server->host() + QStringLiteral(";PORT=") +
                              QString::number(server->port()) + QStringLiteral(";DATABASE=") +
                              schema + QLatin1Char(';'));
        check.setUserName(server->user());
        check.setPassword(server->password());
        if (check.open()) {
            QSqlQuery query(check);
            if (query.exec(QStringLiteral("SHOW CREATE TABLE ") + table) && query.next())
                text = query.value(1).toString();
        }
        check.close();
    }
    check = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("show"));
    // The collation is the server's default for latin1 and the counter moves with
    // every row; neither is part of the layout.
    text.remove(QRegularExpression(QStringLiteral(" COLLATE=\\w+")));
    text.remove(QRegularExpression(QStringLiteral(" AUTO_INCREMENT=\\d+")));
    return text;
}

void TestDatabaseWrites::tablesCreatedWithTheirLayout()
{
    QVERIFY(rows(QStringLiteral("SHOW TABLES")).isEmpty());
    QCOMPARE(db->open(), ServerConnection::OpenResult::Connected);
    QVERIFY(db->connection->isConnected());
    QCOMPARE(showCreate(QStringLiteral("upsmeasurements")), expectedMeasurementsTable);
    QCOMPARE(showCreate(QStringLiteral("upsevents")), expectedEventsTable);
    QVERIFY(!db->messages().join(QLatin1Char('\n')).contains(QStringLiteral("Query error")));
}

void TestDatabaseWrites::secondOpenChangesNothing()
{
    QCOMPARE(db->open(), ServerConnection::OpenResult::Connected);
    db->writeEvent(sampleEvent(QStringLiteral("Power failure.")));
    const QString measurements = showCreate(QStringLiteral("upsmeasurements"));
    const QString events = showCreate(QStringLiteral("upsevents"));

    const int mark = db->messages().size();
    QCOMPARE(db->open(), ServerConnection::OpenResult::Connected);
    QVERIFY(db->connection->isConnected());
    const QStringList traced = db->trace->since(mark);
    QVERIFY2(traced.contains(QStringLiteral("Database disconnected")),
             qPrintable(traced.join(QLatin1Char('\n'))));
    QVERIFY(!traced.join(QLatin1Char('\n')).contains(QStringLiteral("error")));
    QCOMPARE(showCreate(QStringLiteral("upsmeasurements")), measurements);
    QCOMPARE(showCreate(QStringLiteral("upsevents")), events);
    QCOMPARE(rows(QStringLiteral("SELECT message FROM upsevents")),
             QStringList{QStringLiteral("Power failure.")});
}

void TestDatabaseWrites::existingTablesAreLeftAlone()
{
    // A table of an older layout with an extra column: not altered, still written.
    const QString older = QStringLiteral(
            "CREATE TABLE upsevents (id int NOT NULL AUTO_INCREMENT, model varchar(30) NOT NULL,"
            " message varchar(40) NOT NULL, startdate varchar(30) NOT NULL,"
            " lastdump varchar(30) NOT NULL, datetime varchar(30) NOT NULL, mcid varchar(5) NOT "
            "NULL, monitorversion varchar(10) NOT NULL, note varchar(10) NOT NULL DEFAULT 'x',"
            " PRIMARY KEY (id)) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4");
    QVERIFY2(server->exec(older, schema), qPrintable(server->lastError()));
    const QString before = showCreate(QStringLiteral("upsevents"));

    QCOMPARE(db->open(), ServerConnection::OpenResult::Connected);
    QCOMPARE(showCreate(QStringLiteral("upsevents")), before);

    // Its own width and character set count: cut to 40, emoji kept in utf8mb4.
    const QString message = u8("\xF0\x9F\x94\x8C ") + QString(60, QLatin1Char('m'));
    db->writeEvent(sampleEvent(message));
    QCOMPARE(rows(QStringLiteral("SELECT message FROM upsevents")), QStringList{message.left(41)});
}

void TestDatabaseWrites::measurementRow()
{
    QCOMPARE(db->open(), ServerConnection::OpenResult::Connected);
    const QStringList values = sampleMeasurement();
    db->writeMeasurement(values);
    QStringList stored;
    for (const QString &column : ServerConnection::measurementColumns())
        stored +=
                rows(QStringLiteral("SELECT ") + column + QStringLiteral(" FROM upsmeasurements"));
    QCOMPARE(stored, values);
    QCOMPARE(rows(QStringLiteral("SELECT id FROM upsmeasurements")),
             QStringList{QStringLiteral("1")});
}

void TestDatabaseWrites::eventRow()
{
    QCOMPARE(db->open(), ServerConnection::OpenResult::Connected);
    const QStringList values = sampleEvent(QStringLiteral("Power is back. UPS running on mains."));
    db->writeEvent(values);
    QStringList stored;
    for (const QString &column : ServerConnection::eventColumns())
        stored += rows(QStringLiteral("SELECT `") + column + QStringLiteral("` FROM upsevents"));
    QCOMPARE(stored, values);
}

void TestDatabaseWrites::idGrowsByOnePerRow()
{
    QCOMPARE(db->open(), ServerConnection::OpenResult::Connected);
    for (int i = 0; i < 3; ++i) {
        db->writeMeasurement(sampleMeasurement(QStringLiteral("ONLINE ") + QString::number(i)));
        db->writeEvent(sampleEvent(QStringLiteral("event ") + QString::number(i)));
    }
    const QStringList ids{QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3")};
    QCOMPARE(rows(QStringLiteral("SELECT id FROM upsmeasurements ORDER BY id")), ids);
    QCOMPARE(rows(QStringLiteral("SELECT id FROM upsevents ORDER BY id")), ids);
    QCOMPARE(rows(QStringLiteral("SELECT status FROM upsmeasurements ORDER BY id")),
             (QStringList{QStringLiteral("ONLINE 0"), QStringLiteral("ONLINE 1"),
                          QStringLiteral("ONLINE 2")}));
}

void TestDatabaseWrites::wrongValueCount_data()
{
    QTest::addColumn<bool>("measurement");
    QTest::addColumn<int>("valueCount");
    QTest::newRow("measurement 21") << true << 21;
    QTest::newRow("measurement 23") << true << 23;
    QTest::newRow("event 6") << false << 6;
    QTest::newRow("event 8") << false << 8;
}

void TestDatabaseWrites::wrongValueCount()
{
    QFETCH(bool, measurement);
    QFETCH(int, valueCount);
    QCOMPARE(db->open(), ServerConnection::OpenResult::Connected);
    QStringList values = measurement ? sampleMeasurement() : sampleEvent(QStringLiteral("x"));
    while (values.size() > valueCount)
        values.removeLast();
    while (values.size() < valueCount)
        values.append(QStringLiteral("extra"));

    // Refused for its values: sending it again would not help.
    QCOMPARE(measurement ? db->writeMeasurement(values) : db->writeEvent(values),
             ServerConnection::Outcome::Refused);
    QVERIFY2(db->error.contains(QStringLiteral("Column count doesn't match value count")),
             qPrintable(db->error));
    QCOMPARE(count(measurement ? QStringLiteral("upsmeasurements") : QStringLiteral("upsevents")),
             0);
}

void TestDatabaseWrites::emptyValuesStoredAsNA_data()
{
    QTest::addColumn<int>("emptyColumn");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("expected");
    QTest::newRow("status empty") << 0 << QString() << QStringLiteral("N/A");
    QTest::newRow("selftest empty") << 16 << QString() << QStringLiteral("N/A");
    QTest::newRow("mcid empty") << 19 << QString() << QStringLiteral("N/A");
    QTest::newRow("blank is a value") << 0 << QStringLiteral(" ") << QStringLiteral(" ");
    QTest::newRow("two quotes are a value") << 0 << QStringLiteral("''") << QStringLiteral("''");
    QTest::newRow("N/A given") << 0 << QStringLiteral("N/A") << QStringLiteral("N/A");
}

void TestDatabaseWrites::emptyValuesStoredAsNA()
{
    QFETCH(int, emptyColumn);
    QFETCH(QString, value);
    QFETCH(QString, expected);
    QCOMPARE(db->open(), ServerConnection::OpenResult::Connected);
    QStringList values = sampleMeasurement();
    values[emptyColumn] = value;
    db->writeMeasurement(values);
    values[emptyColumn] = expected;
    QStringList stored;
    for (const QString &column : ServerConnection::measurementColumns())
        stored += rows(QStringLiteral("SELECT CONCAT('<', ") + column +
                       QStringLiteral(", '>') FROM upsmeasurements"));
    QStringList expectedRow;
    for (const QString &v : values)
        expectedRow += QLatin1Char('<') + v + QLatin1Char('>');
    QCOMPARE(stored, expectedRow);

    // An empty model in an event row as well.
    QStringList event = sampleEvent(QStringLiteral("Power failure."));
    event[0].clear();
    db->writeEvent(event);
    QCOMPARE(rows(QStringLiteral("SELECT model FROM upsevents")),
             QStringList{QStringLiteral("N/A")});
}

void TestDatabaseWrites::hostileValuesStoredAsGiven_data()
{
    QTest::addColumn<QString>("message");
    QTest::newRow("quote") << QStringLiteral("UPS's battery");
    QTest::newRow("injection") << QStringLiteral("'); DROP TABLE upsevents; --");
    QTest::newRow("injection with double quote")
            << QStringLiteral("\"); DROP TABLE upsmeasurements; #");
    QTest::newRow("backslash at the end") << QStringLiteral("C:\\apcupsd\\");
    QTest::newRow("escaped quote") << QStringLiteral("\\'");
    QTest::newRow("semicolons") << QStringLiteral(";;;");
    QTest::newRow("question mark placeholder") << QStringLiteral("? ?, ?");
    QTest::newRow("percent and underscore") << QStringLiteral("100% _x_");
    QTest::newRow("line breaks and tab") << QStringLiteral("a\r\nb\tc");
    QTest::newRow("10 KB line") << QString(10 * 1024, QLatin1Char('L'));
    QTest::newRow("emoji") << u8("mains \xF0\x9F\x94\x8C back \xF0\x9F\x98\x80");
    QTest::newRow("latin1 accents") << u8("Coupure secteur \xC3\xA0 \xC3\xA9t\xC3\xA9");
    QTest::newRow("code page 1252 marks")
            << u8("\xE2\x82\xAC 5 \xE2\x80\x94 \xE2\x80\x9Cok\xE2\x80\x9D");
    QTest::newRow("cyrillic") << u8("\xD0\xA1\xD0\xB1\xD0\xBE\xD0\xB9");
    QTest::newRow("chinese") << u8("\xE6\x96\xAD\xE7\x94\xB5");
    QTest::newRow("C1 control") << QString(QChar(0x80)) + QStringLiteral("x");
}

void TestDatabaseWrites::hostileValuesStoredAsGiven()
{
    QFETCH(QString, message);
    QCOMPARE(db->open(), ServerConnection::OpenResult::Connected);
    QStringList values = sampleEvent(message);
    values[0] = message.left(30); // the model column as well
    QCOMPARE(db->writeEvent(values), ServerConnection::Outcome::Stored);

    QCOMPARE(rows(QStringLiteral("SELECT HEX(message) FROM upsevents")),
             QStringList{latin1Hex(message)});
    QCOMPARE(rows(QStringLiteral("SELECT HEX(model) FROM upsevents")),
             QStringList{latin1Hex(message.left(30)).left(60)});
    QCOMPARE(count(QStringLiteral("upsevents")), 1);
    QCOMPARE(rows(QStringLiteral("SHOW TABLES")),
             (QStringList{QStringLiteral("upsevents"), QStringLiteral("upsmeasurements"),
                          QStringLiteral("voltrine_delivery")}));

    // The same through a measurement row, and back through the newest-event read.
    QStringList measurement = sampleMeasurement();
    measurement[12] = message.left(50);
    db->writeMeasurement(measurement);
    QCOMPARE(rows(QStringLiteral("SELECT HEX(battswitchreason) FROM upsmeasurements")),
             QStringList{latin1Hex(message.left(50)).left(100)});
    const QByteArray stored = QByteArray::fromHex(latin1Hex(message).toLatin1());
    QCOMPARE(db->connection->lastEventMessage(),
             QTextCodec::codecForName("windows-1252")->toUnicode(stored));
}

void TestDatabaseWrites::longValuesAreCut_data()
{
    QTest::addColumn<int>("column");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("expected");
    QTest::newRow("status of a slave on low battery")
            << 0 << QStringLiteral("ONLINE TRIM LOWBATT SLAVE")
            << QStringLiteral("ONLINE TRIM LOWBATT ");
    QTest::newRow("long machine number")
            << 19 << QStringLiteral("1234567") << QStringLiteral("12345");
    QTest::newRow("transfer reason")
            << 12
            << QStringLiteral("Automatic or explicit self test, followed by a long tail of words")
            << QStringLiteral("Automatic or explicit self test, followed by a lon");
    QTest::newRow("version") << 21 << QStringLiteral("1.0.0a.2-beta")
                             << QStringLiteral("1.0.0a.2-b");
    QTest::newRow("emoji then cut") << 19
                                    << u8("\xF0\x9F\x98\x80\xF0\x9F\x98\x80\xF0\x9F\x98\x80"
                                          "\xF0\x9F\x98\x80\xF0\x9F\x98\x80\xF0\x9F\x98\x80")
                                    << QStringLiteral("?????");
}

void TestDatabaseWrites::longValuesAreCut()
{
    QFETCH(int, column);
    QFETCH(QString, value);
    QFETCH(QString, expected);
    QCOMPARE(db->open(), ServerConnection::OpenResult::Connected);
    QStringList values = sampleMeasurement();
    values[column] = value;
    QCOMPARE(db->writeMeasurement(values), ServerConnection::Outcome::Stored);
    QCOMPARE(rows(QStringLiteral("SELECT ") + ServerConnection::measurementColumns().at(column) +
                  QStringLiteral(" FROM upsmeasurements")),
             QStringList{expected});
}

void TestDatabaseWrites::everyMeasurementColumnCutToItsWidth()
{
    QCOMPARE(db->open(), ServerConnection::OpenResult::Connected);
    QStringList values;
    for (int i = 0; i < 22; ++i)
        values += QString(60, QLatin1Char('a' + i));
    db->writeMeasurement(values);
    for (int i = 0; i < 22; ++i) {
        const QString column = ServerConnection::measurementColumns().at(i);
        QCOMPARE(rows(QStringLiteral("SELECT ") + column + QStringLiteral(" FROM upsmeasurements")),
                 QStringList{QString(measurementWidths.at(i), QLatin1Char('a' + i))});
    }

    QStringList event = sampleEvent(QString(70000, QLatin1Char('e')));
    for (const int i : {0, 2, 3, 4, 5, 6})
        event[i] = QString(40, QLatin1Char('0' + i));
    db->writeEvent(event);
    QCOMPARE(rows(QStringLiteral("SELECT LENGTH(message) FROM upsevents")),
             QStringList{QStringLiteral("65535")});
    QCOMPARE(rows(QStringLiteral("SELECT CONCAT_WS(',', LENGTH(model), LENGTH(startdate), "
                                 "LENGTH(lastdump), LENGTH(datetime), LENGTH(mcid), "
                                 "LENGTH(monitorversion)) FROM upsevents")),
             QStringList{QStringLiteral("30,30,30,30,5,10")});
}

void TestDatabaseWrites::valuesFittedToTheTablesTheServerHas()
{
    // Narrower and wider columns than this program would create.
    QVERIFY(server->exec(ServerConnection::createMeasurementsStatement(), schema));
    QVERIFY(server->exec(
            QStringLiteral("ALTER TABLE upsmeasurements MODIFY status varchar(8) NOT NULL,"
                           " MODIFY mcid varchar(12) CHARACTER SET utf8mb3 NOT NULL"),
            schema));
    QCOMPARE(db->open(), ServerConnection::OpenResult::Connected);
    QStringList values = sampleMeasurement(QStringLiteral("ONLINE TRIM LOWBATT SLAVE"));
    values[19] = u8("\xD0\xA1\xD0\xB1 \xF0\x9F\x98\x80 123456789");
    db->writeMeasurement(values);
    QCOMPARE(rows(QStringLiteral("SELECT CONCAT_WS('|', status, mcid) FROM upsmeasurements")),
             QStringList{u8("ONLINE T|\xD0\xA1\xD0\xB1 ? 1234567")});
}

void TestDatabaseWrites::utf8TextColumnCutByBytes()
{
    // A TEXT column holds 65535 bytes whatever its character set: in utf8mb4
    // that is 16383 emoji, not 65535.
    QVERIFY(server->exec(ServerConnection::createEventsStatement(), schema));
    QVERIFY(server->exec(
            QStringLiteral(
                    "ALTER TABLE upsevents MODIFY message text CHARACTER SET utf8mb4 NOT NULL"),
            schema));
    QCOMPARE(db->open(), ServerConnection::OpenResult::Connected);
    QString message;
    for (int i = 0; i < 20000; ++i)
        message += u8("\xF0\x9F\x94\x8C");
    QCOMPARE(db->writeEvent(sampleEvent(message)), ServerConnection::Outcome::Stored);
    QCOMPARE(
            rows(QStringLiteral(
                    "SELECT CONCAT_WS(',', CHAR_LENGTH(message), LENGTH(message)) FROM upsevents")),
            QStringList{QStringLiteral("16383,65532")});
}

void TestDatabaseWrites::lastEventMessageByHighestId()
{
    QCOMPARE(db->open(), ServerConnection::OpenResult::Connected);
    db->writeEvent(sampleEvent(QStringLiteral("newer by date"),
                               QStringLiteral("2030-01-01 00:00:00 +0000")));
    db->writeEvent(sampleEvent(QStringLiteral("older by date"),
                               QStringLiteral("2001-01-01 00:00:00 +0000")));
    const int mark = db->messages().size();
    QCOMPARE(db->connection->lastEventMessage(), QStringLiteral("older by date"));
    QCOMPARE(db->trace->since(mark), QStringList());
}

void TestDatabaseWrites::lastEventMessageOfEmptyTable()
{
    QCOMPARE(db->open(), ServerConnection::OpenResult::Connected);
    const int mark = db->messages().size();
    QCOMPARE(db->connection->lastEventMessage(), QString());
    QCOMPARE(db->trace->since(mark), QStringList());
}

void TestDatabaseWrites::lastEventMessageAfterQueryError()
{
    QCOMPARE(db->open(), ServerConnection::OpenResult::Connected);
    QVERIFY(server->exec(QStringLiteral("DROP TABLE upsevents"), schema));
    const int mark = db->messages().size();
    QCOMPARE(db->connection->lastEventMessage(), QString());
    QCOMPARE(db->trace->since(mark), QStringList());
}

void TestDatabaseWrites::notConnectedSendsNothing()
{
    // Never opened: the tables do not even exist.
    const int mark = db->messages().size();
    QCOMPARE(db->writeMeasurement(sampleMeasurement()), ServerConnection::Outcome::NotConnected);
    QCOMPARE(db->writeEvent(sampleEvent(QStringLiteral("Power failure."))),
             ServerConnection::Outcome::NotConnected);
    QCOMPARE(db->trace->since(mark), QStringList());

    QCOMPARE(db->connection->lastEventMessage(), QString());
    QCOMPARE(db->trace->since(mark),
             QStringList{
                     QStringLiteral("Database is not connected, can not Get Last Event Message")});

    db->connection->createTables();
    QCOMPARE(db->trace->since(mark).mid(1),
             (QStringList{QStringLiteral("Database is not connected, can not: ") +
                                  ServerConnection::createMeasurementsStatement(),
                          QStringLiteral("Database is not connected, can not: ") +
                                  ServerConnection::createEventsStatement()}));
    QVERIFY(rows(QStringLiteral("SHOW TABLES")).isEmpty());
}

void TestDatabaseWrites::queryErrorIsTraced()
{
    QCOMPARE(db->open(), ServerConnection::OpenResult::Connected);
    const int mark = db->messages().size();
    db->connection->execQuery(QStringLiteral("SELECT * FROM nosuchtable"));
    const QStringList traced = db->trace->since(mark);
    QCOMPARE(traced.size(), 1);
    QVERIFY2(traced.first().startsWith(QStringLiteral("Query error : ")),
             qPrintable(traced.first()));
    QVERIFY2(traced.first().contains(QStringLiteral("nosuchtable' doesn't exist")),
             qPrintable(traced.first()));

    // The table gone between two writes: the row is not stored, and not for
    // its values; the next write is tried as usual.
    QVERIFY(server->exec(QStringLiteral("DROP TABLE upsmeasurements"), schema));
    QCOMPARE(db->writeMeasurement(sampleMeasurement()), ServerConnection::Outcome::Failed);
    QVERIFY2(db->error.contains(QStringLiteral("doesn't exist")), qPrintable(db->error));
    QVERIFY(server->exec(ServerConnection::createMeasurementsStatement(), schema));
    QCOMPARE(db->writeMeasurement(sampleMeasurement()), ServerConnection::Outcome::Stored);
    QCOMPARE(count(QStringLiteral("upsmeasurements")), 1);
}

VOLTRINE_DB_TEST_MAIN(TestDatabaseWrites)
#include "tst_databasewrites.moc"
