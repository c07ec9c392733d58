// loggingbench: what handing a row to the logging database costs the calling
// (GUI) thread, and whether rows survive a hung, stopped or cut-off server.
//
//   loggingbench [--rows N] [--history-rows N]
//
// It starts a MariaDB server of its own (tests/support/mariadb-fixture) on
// loopback, registers the ODBC driver in a private odbcinst.ini, and measures,
// all in one run:
//   1. the stall of the calling thread per row while the server hangs
//      (the server process stopped with SIGSTOP): N rows handed over, longest,
//      99th percentile and median; beside it, for comparison, one INSERT sent
//      from the calling thread to the same hung server, as rows used to be;
//   2. one journal append (its transaction synced to disk) beside one INSERT
//      to the local server, interleaved in blocks, medians; and the disk's
//      own fdatasync time as the floor of the first;
//   3. rows lost and duplicated when the server is stopped while N rows are
//      handed over and started again, and when a proxy cuts the connection
//      at 20 INSERTs (10 after the server stored the row, 10 before it got it);
//   4. for the history view, a min/max per time bucket over a month of
//      journal rows (--history-rows, default 1,000,000; 0 leaves it out);
//   5. rows lost and duplicated when the program is killed (SIGKILL) 20 times
//      while a backlog of 20 N rows drains from its journal, counted by
//      content and by delivery key.
// Not a test: figures depend on the machine; compare them within one run.

#include "database.h"
#include "journal.h"
#include "journalreader.h"
#include "logs.h"
#include "registry.h"
#include "samplerows.h"
#include "serverconnection.h"
#include "tcpproxy.h"
#include "testmariadb.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>

#include <algorithm>
#include <memory>

#include <signal.h>
#include <unistd.h>

namespace {

QTextStream out(stdout);

struct Figures
{
    double median = 0, p99 = 0, max = 0;
};

Figures figuresOf(QVector<double> millis)
{
    std::sort(millis.begin(), millis.end());
    const int size = millis.size();
    if (size == 0)
        return {};
    return {millis.at(size / 2), millis.at(qMin(size - 1, size * 99 / 100)), millis.last()};
}

QString ms(double value)
{
    return QString::number(value, 'f', 3) + QStringLiteral(" ms");
}

// Waits, running the event loop, until done() holds or the time is up.
bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QTest::qWait(50);
    }
    return true;
}

QStringList measurementRow(const QString &tag)
{
    QStringList values = sampleMeasurement(QStringLiteral("ONBATT"));
    values[15] = tag; // batttotaltime: a value of its own per row
    return values;
}

struct Peers
{
    explicit Peers(const QString &directory)
        : dir(directory)
    {
        logs = std::make_unique<Logs>(dir + QStringLiteral("/Trace.log"));
        registry = std::make_unique<Registry>(logs.get(), dir + QStringLiteral("/confdata"));
    }
    void pointAt(const TestMariaDb &server, int port, const QString &schema)
    {
        registry->setKey(QStringLiteral("dbhost"), server.host());
        registry->setKey(QStringLiteral("dbport"), QString::number(port));
        registry->setKey(QStringLiteral("dbname"), schema);
        registry->setKey(QStringLiteral("dbvdriver"), QStringLiteral("5.3"));
        registry->setKey(QStringLiteral("dbuser"), server.user());
        registry->setKey(QStringLiteral("dbpasswd"), server.password(), true);
    }
    QString dir;
    std::unique_ptr<Logs> logs;
    std::unique_ptr<Registry> registry;
};

int countOf(TestMariaDb &server, const QString &schema, const QString &statement)
{
    return server.query(statement, schema).value(0, QStringLiteral("-1")).toInt();
}

// What the server holds of rows told apart by their content: a measurement's
// batttotaltime, an event's message.
struct Stored
{
    int rows = 0, distinctRows = 0, events = 0, distinctEvents = 0;
    int lost(int sentRows, int sentEvents) const
    {
        return sentRows + sentEvents - distinctRows - distinctEvents;
    }
    int duplicated() const { return rows - distinctRows + events - distinctEvents; }
};

Stored storedRows(TestMariaDb &server, const QString &schema)
{
    Stored stored;
    stored.rows = countOf(server, schema, QStringLiteral("SELECT COUNT(*) FROM upsmeasurements"));
    stored.distinctRows =
            countOf(server, schema,
                    QStringLiteral("SELECT COUNT(DISTINCT batttotaltime) FROM upsmeasurements"));
    stored.events = countOf(server, schema, QStringLiteral("SELECT COUNT(*) FROM upsevents"));
    stored.distinctEvents = countOf(
            server, schema, QStringLiteral("SELECT COUNT(DISTINCT message) FROM upsevents"));
    return stored;
}

// 1. The calling thread's stall per row while the server hangs.
void hungServer(TestMariaDb &server, const QString &workDir, int rows)
{
    const QString schema = QStringLiteral("bench_hung");
    server.createSchema(schema);
    Peers peers(workDir + QStringLiteral("/hung"));
    QDir().mkpath(peers.dir);
    peers.pointAt(server, server.port(), schema);
    DataBase database(peers.registry.get(), peers.logs.get());
    database.openConnection();
    if (!database.isConnected()) {
        out << "hung server: could not connect\n";
        return;
    }
    database.writeMeasurement(measurementRow(QStringLiteral("warm-up")));
    waitFor([&] { return database.unsentRows() == 0; }, 30000);

    ::kill(server.serverPid(), SIGSTOP);
    QVector<double> stalls, syncs;
    QElapsedTimer timer;
    // The disk's own sync, between the rows: the floor of a durable append.
    QFile probe(peers.dir + QStringLiteral("/sync-probe"));
    probe.open(QIODevice::ReadWrite);
    for (int i = 0; i < rows; ++i) {
        timer.start();
        database.writeMeasurement(measurementRow(QString::number(i)));
        stalls.append(timer.nsecsElapsed() / 1e6);
        // Rows come apart in time, and the event loop runs between them.
        QTest::qWait(5);
        probe.seek(0);
        probe.write(QByteArray(512, char('a' + i % 26)));
        probe.flush();
        timer.start();
        ::fdatasync(probe.handle());
        syncs.append(timer.nsecsElapsed() / 1e6);
        QTest::qWait(5);
    }
    const Figures f = figuresOf(stalls), s = figuresOf(syncs);
    out << "1. calling thread per row, server hung (SIGSTOP), " << rows << " rows: longest "
        << ms(f.max) << ", 99th percentile " << ms(f.p99) << ", median " << ms(f.median)
        << "\n   fdatasync of 512 bytes between the rows: longest " << ms(s.max)
        << ", 99th percentile " << ms(s.p99) << ", median " << ms(s.median) << '\n';

    // As rows used to be sent: on the calling thread, to the same hung server.
    {
        ServerConnection direct(peers.logs.get(), QStringLiteral("bench-direct"));
        QString error;
        ::kill(server.serverPid(), SIGCONT);
        direct.open(ConnectionSettings::fromRegistry(peers.registry.get()), &error);
        ::kill(server.serverPid(), SIGSTOP);
        timer.start();
        direct.insert(ServerConnection::Table::Measurements,
                      measurementRow(QStringLiteral("direct")), &error);
        out << "   one INSERT on the calling thread to the hung server: "
            << ms(timer.nsecsElapsed() / 1e6) << '\n';
        ::kill(server.serverPid(), SIGCONT);
    }
    waitFor([&] { return database.unsentRows() == 0; }, 180000);
    const int stored = countOf(server, schema,
                               QStringLiteral("SELECT COUNT(DISTINCT batttotaltime) FROM "
                                              "upsmeasurements WHERE batttotaltime <> 'direct'"));
    const int all = countOf(server, schema,
                            QStringLiteral("SELECT COUNT(*) FROM upsmeasurements WHERE "
                                           "batttotaltime <> 'direct'"));
    out << "   after the server ran again: " << (rows + 1 - stored) << " rows lost, "
        << (all - stored) << " duplicated\n";
}

// 2. One journal append beside one INSERT to the local server.
void appendBesideInsert(TestMariaDb &server, const QString &workDir, int rows)
{
    const QString schema = QStringLiteral("bench_append");
    server.createSchema(schema);
    Peers peers(workDir + QStringLiteral("/append"));
    QDir().mkpath(peers.dir);
    peers.pointAt(server, server.port(), schema);
    Journal journal(peers.dir + QStringLiteral("/journal.db"), QStringLiteral("bench-journal"));
    ServerConnection connection(peers.logs.get(), QStringLiteral("bench-insert"));
    QString error;
    if (!journal.open(Journal::Mode::Durable, &error) ||
        connection.open(ConnectionSettings::fromRegistry(peers.registry.get()), &error) !=
                ServerConnection::OpenResult::Connected) {
        out << "append beside insert: " << error << '\n';
        return;
    }
    QVector<double> appends, inserts, syncs;
    QElapsedTimer timer;
    QFile probe(peers.dir + QStringLiteral("/sync-probe"));
    probe.open(QIODevice::ReadWrite);
    const int block = 50;
    for (int done = 0; done < rows; done += block) {
        for (int i = 0; i < block; ++i) {
            const QStringList values = measurementRow(QString::number(done + i));
            timer.start();
            journal.appendMeasurement(values, QString(), Journal::State::Unsent,
                                      QDateTime::currentMSecsSinceEpoch());
            appends.append(timer.nsecsElapsed() / 1e6);
        }
        for (int i = 0; i < block; ++i) {
            const QStringList values = measurementRow(QString::number(done + i));
            timer.start();
            connection.insert(ServerConnection::Table::Measurements, values, &error);
            inserts.append(timer.nsecsElapsed() / 1e6);
        }
        for (int i = 0; i < block; ++i) {
            probe.seek(0);
            probe.write(QByteArray(512, char('a' + i % 26)));
            probe.flush();
            timer.start();
            ::fdatasync(probe.handle());
            syncs.append(timer.nsecsElapsed() / 1e6);
        }
    }
    const Figures a = figuresOf(appends), i = figuresOf(inserts), s = figuresOf(syncs);
    out << "2. " << appends.size() << " each, medians: journal append (synced) " << ms(a.median)
        << ", INSERT to the local MariaDB " << ms(i.median) << "; fdatasync of 512 bytes on the "
        << "same disk " << ms(s.median) << "\n   99th percentiles: append " << ms(a.p99)
        << ", INSERT " << ms(i.p99) << ", fdatasync " << ms(s.p99) << '\n';
}

// 3. Rows lost and duplicated through an outage and through cut connections.
void outageAndCuts(TestMariaDb &server, const QString &workDir, int rows)
{
    const QString schema = QStringLiteral("bench_outage");
    server.createSchema(schema);
    Peers peers(workDir + QStringLiteral("/outage"));
    QDir().mkpath(peers.dir);
    TcpProxy proxy(server.host(), quint16(server.port()));
    peers.pointAt(server, proxy.port(), schema);
    DataBase database(peers.registry.get(), peers.logs.get());
    database.setReconnectBackoff(50, 1000);
    database.openConnection();
    if (!database.isConnected()) {
        out << "outage: could not connect\n";
        return;
    }

    server.pause();
    for (int i = 0; i < rows; ++i) {
        database.writeMeasurement(measurementRow(QStringLiteral("outage ") + QString::number(i)));
        if (i % 10 == 0)
            database.writeEvent(sampleEvent(QStringLiteral("outage event ") + QString::number(i)));
        QTest::qWait(2);
    }
    server.resume();
    waitFor([&] { return database.unsentRows() == 0; }, 180000);
    const int events = (rows + 9) / 10;
    const Stored got = storedRows(server, schema);
    out << "3. server stopped for " << rows << " measurement and " << events
        << " event rows, started again: " << got.lost(rows, events) << " lost, " << got.duplicated()
        << " duplicated\n";

    const int cuts = 20;
    for (int i = 0; i < cuts; ++i) {
        const QByteArray marker = "cut " + QByteArray::number(i) + " marker";
        proxy.dropAt(marker,
                     i % 2 ? TcpProxy::Drop::BeforeServer : TcpProxy::Drop::AfterServerReply);
        database.writeEvent(sampleEvent(QString::fromLatin1(marker)));
        waitFor([&] { return proxy.hasDropped(); }, 30000);
        waitFor([&] { return database.unsentRows() == 0; }, 60000);
    }
    int lost = 0, duplicated = 0;
    for (int i = 0; i < cuts; ++i) {
        const int stored = countOf(server, schema,
                                   QStringLiteral("SELECT COUNT(*) FROM upsevents WHERE message = "
                                                  "'cut %1 marker'")
                                           .arg(i));
        lost += stored == 0 ? 1 : 0;
        duplicated += qMax(0, stored - 1);
    }
    out << "   connection cut at " << cuts << " INSERTs (half of them after the server stored "
        << "the row): " << lost << " lost, " << duplicated << " duplicated\n";
}

// 4. A month of rows reduced to min/max per bucket, as a history chart asks.
void history(const QString &workDir, int rows)
{
    const QString path = workDir + QStringLiteral("/history.db");
    {
        Journal journal(path, QStringLiteral("bench-history-schema"));
        QString error;
        if (!journal.open(Journal::Mode::Background, &error)) {
            out << "history: " << error << '\n';
            return;
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench-history-schema"));
    const qint64 end = QDateTime::currentMSecsSinceEpoch();
    const qint64 month = qint64(31) * 24 * 3600 * 1000;
    {
        QSqlDatabase fill = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"),
                                                      QStringLiteral("bench-history-fill"));
        fill.setDatabaseName(path);
        fill.open();
        QSqlQuery(fill).exec(QStringLiteral("PRAGMA synchronous=OFF"));
        fill.transaction();
        QSqlQuery insert(fill);
        QString columns = ServerConnection::measurementColumns().join(QLatin1Char(','));
        QString marks;
        for (int i = 0; i < 22 + 6; ++i)
            marks += i ? QStringLiteral(",?") : QStringLiteral("?");
        insert.prepare(QStringLiteral("INSERT INTO upsmeasurements (time_ms, state, ") + columns +
                       QStringLiteral(", linev, loadpct, bcharge, timeleft) VALUES (") + marks +
                       QLatin1Char(')'));
        const QStringList values = sampleMeasurement();
        for (int i = 0; i < rows; ++i) {
            insert.addBindValue(end - month + month * i / rows);
            insert.addBindValue(1);
            for (const QString &value : values)
                insert.addBindValue(value);
            insert.addBindValue(220.0 + i % 20);
            insert.addBindValue(double(i % 100));
            insert.addBindValue(100.0 - i % 50);
            insert.addBindValue(30.0 + i % 10);
            insert.exec();
        }
        // The minute table as the appends keep it.
        QSqlQuery(fill).exec(QStringLiteral(
                "INSERT INTO upsmeasurements_minutes SELECT time_ms / 60000, COUNT(*), "
                "MIN(linev), MAX(linev), MIN(loadpct), MAX(loadpct), MIN(bcharge), "
                "MAX(bcharge), MIN(timeleft), MAX(timeleft) FROM upsmeasurements GROUP BY 1"));
        fill.commit();
        fill.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench-history-fill"));

    // One point per hour of the month, from the rows and from the minutes.
    const qint64 hour = 3600 * 1000;
    const QString fromRows =
            QStringLiteral(
                    "SELECT time_ms / %1 AS bucket, MIN(linev), MAX(linev), MIN(loadpct), "
                    "MAX(loadpct), "
                    "MIN(bcharge), MAX(bcharge), MIN(timeleft), MAX(timeleft) FROM upsmeasurements "
                    "WHERE time_ms >= %2 AND time_ms < %3 GROUP BY bucket ORDER BY bucket")
                    .arg(hour)
                    .arg(end - month)
                    .arg(end + 1);
    const QString fromMinutes =
            QStringLiteral("SELECT minute / 60 AS bucket, MIN(linev_min), MAX(linev_max), "
                           "MIN(loadpct_min), MAX(loadpct_max), MIN(bcharge_min), "
                           "MAX(bcharge_max), MIN(timeleft_min), MAX(timeleft_max) FROM "
                           "upsmeasurements_minutes WHERE minute >= %1 AND minute < %2 GROUP BY "
                           "bucket ORDER BY bucket")
                    .arg((end - month) / 60000)
                    .arg(end / 60000 + 1);
    QSqlDatabase reader = Journal::openReadOnly(path, QStringLiteral("bench-history-read"));
    const auto timed = [&reader](const QString &statement, int *buckets) {
        QVector<double> times;
        for (int attempt = 0; attempt < 5; ++attempt) {
            QElapsedTimer timer;
            timer.start();
            QSqlQuery query(reader);
            query.setForwardOnly(true);
            query.exec(statement);
            *buckets = 0;
            while (query.next())
                ++*buckets;
            times.append(timer.nsecsElapsed() / 1e6);
        }
        return figuresOf(times);
    };
    int rowBuckets = 0, minuteBuckets = 0;
    const Figures r = timed(fromRows, &rowBuckets);
    const Figures m = timed(fromMinutes, &minuteBuckets);
    reader = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("bench-history-read"));
    out << "4. min/max of 4 values per hour over 31 days of " << rows
        << " rows, read-only connection, median of 5: from the rows " << ms(r.median) << " ("
        << rowBuckets << " buckets), from the minute table " << ms(m.median) << " ("
        << minuteBuckets << " buckets)\n";
}

// 5. The program killed again and again while its journal drains.
void killsWhileDraining(TestMariaDb &server, const QString &workDir, int rows)
{
    const QString schema = QStringLiteral("bench_kills");
    server.createSchema(schema);
    const QString dir = workDir + QStringLiteral("/kills");
    QDir().mkpath(dir);
    {
        Peers peers(dir);
        peers.pointAt(server, server.port(), schema);
    }
    const QString journalPath = dir + QLatin1Char('/') + Journal::fileName();
    const int measurements = rows, events = rows / 10;
    {
        Journal journal(journalPath, QStringLiteral("bench-kills-fill"));
        QString error;
        if (!journal.open(Journal::Mode::Background, &error)) {
            out << "kills: " << error << '\n';
            return;
        }
        QList<Journal::Record> records;
        const qint64 start = QDateTime::currentMSecsSinceEpoch() - qint64(rows) * 1000;
        for (int i = 0; i < measurements; ++i) {
            records.append({Journal::Kind::Measurement,
                            measurementRow(QStringLiteral("drain ") + QString::number(i)),
                            QStringLiteral("10.0"), start + i * 1000, Journal::State::Unsent});
            if (i % 10 == 0)
                records.append({Journal::Kind::Event,
                                sampleEvent(QStringLiteral("drain event ") + QString::number(i)),
                                QString(), start + i * 1000, Journal::State::Unsent});
        }
        journal.appendAll(records);
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench-kills-fill"));

    const auto stored = [&] {
        return countOf(server, schema, QStringLiteral("SELECT COUNT(*) FROM upsmeasurements")) +
                countOf(server, schema, QStringLiteral("SELECT COUNT(*) FROM upsevents"));
    };
    const auto waiting = [&journalPath] { return unsentJournalRows(journalPath); };
    const auto startProgram = [&dir] {
        auto program = std::make_unique<QProcess>();
        program->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        program->start(QCoreApplication::applicationFilePath(),
                       {QStringLiteral("--drain-child"), dir});
        program->waitForStarted(10000);
        return program;
    };

    // Killed once rows are flowing, at a random moment of the next 300 ms.
    const int kills = 20;
    int killed = 0;
    for (; killed < kills; ++killed) {
        const int before = stored();
        auto program = startProgram();
        if (!waitFor([&] { return stored() > before || waiting() == 0; }, 60000) || waiting() == 0)
            break;
        QTest::qWait(int(QRandomGenerator::global()->bounded(300)));
        ::kill(pid_t(program->processId()), SIGKILL);
        program->waitForFinished(10000);
    }
    {
        auto program = startProgram();
        waitFor([&] { return waiting() == 0; }, 600000);
        program->terminate();
        program->waitForFinished(10000);
    }

    const Stored got = storedRows(server, schema);
    const int keys =
            countOf(server, schema, QStringLiteral("SELECT COUNT(*) FROM voltrine_delivery"));
    const int keyedRows = countOf(server, schema,
                                  QStringLiteral("SELECT COUNT(DISTINCT source, kind, "
                                                 "journal_id) FROM voltrine_delivery"));
    // Rows whose key was on the server already: stored by a killed program
    // that had not marked them.
    QFile trace(dir + QStringLiteral("/Trace.log"));
    trace.open(QIODevice::ReadOnly);
    const int foundByKey = int(trace.readAll().count("stored before the connection was lost"));
    out << "5. killed (SIGKILL) " << killed << " times while " << measurements
        << " measurement and " << events << " event rows drained from the journal: by content "
        << got.lost(measurements, events) << " lost, " << got.duplicated() << " duplicated; "
        << keys << " delivery keys (" << keyedRows << " distinct) for " << (got.rows + got.events)
        << " rows on the server, " << waiting() << " still waiting; " << foundByKey
        << " rows found stored by their key, not sent again\n";
}

// The program's recording side alone, sending what its journal holds.
int drainChild(const QString &dir)
{
    Peers peers(dir);
    DataBase database(peers.registry.get(), peers.logs.get());
    database.openConnection();
    return QCoreApplication::exec();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    parser.addOption({QStringLiteral("rows"), QStringLiteral("rows per measurement"),
                      QStringLiteral("N"), QStringLiteral("200")});
    parser.addOption({QStringLiteral("history-rows"), QStringLiteral("journal rows for 4"),
                      QStringLiteral("N"), QStringLiteral("1000000")});
    parser.addOption({QStringLiteral("drain-child"), QStringLiteral("(5: the program killed)"),
                      QStringLiteral("DIR")});
    parser.addOption({QStringLiteral("only-kills"), QStringLiteral("runs 5 alone")});
    parser.process(application);
    // Refusals are counted in the figures, not shown.
    DataBase::setFailureNotice([](const QString &) {});
    if (parser.isSet(QStringLiteral("drain-child")))
        return drainChild(parser.value(QStringLiteral("drain-child")));
    const int rows = qMax(10, parser.value(QStringLiteral("rows")).toInt());
    const int historyRows = parser.value(QStringLiteral("history-rows")).toInt();

    QTemporaryDir dir;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.filePath(QStringLiteral("config"))));
    OwnMariaDb ownServer(dir.path(), QStringLiteral(VOLTRINE_REGISTER_ODBC_DRIVER));
    if (!ownServer.isValid()) {
        out << ownServer.errorString() << '\n';
        return 1;
    }
    TestMariaDb &server = ownServer.get();

    if (!parser.isSet(QStringLiteral("only-kills"))) {
        hungServer(server, dir.path(), rows);
        out.flush();
        appendBesideInsert(server, dir.path(), qMax(rows, 500));
        out.flush();
        outageAndCuts(server, dir.path(), rows);
        out.flush();
        if (historyRows > 0)
            history(dir.path(), historyRows);
        out.flush();
    }
    killsWhileDraining(server, dir.path(), 20 * rows);
    return 0;
}
