#pragma once

#include "database.h"
#include "databaseanswer.h"
#include "journalreader.h"
#include "logs.h"
#include "registry.h"
#include "samplerows.h"
#include "serverconnection.h"
#include "testmariadb.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QMutex>
#include <QMutexLocker>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

// The messages traced through a log, without their time stamps, from any
// thread, in the order they were traced.
class TraceRecorder final : public QObject
{
public:
    explicit TraceRecorder(Logs *logs)
    {
        connect(
                logs, &Logs::LogDbProxy, this,
                [this](const QString &stamped) {
                    QMutexLocker locker(&mutex);
                    recorded.append(stamped.mid(stamped.indexOf(QStringLiteral("]: ")) + 3));
                },
                Qt::DirectConnection);
    }

    QStringList messages() const
    {
        QMutexLocker locker(&mutex);
        return recorded;
    }
    // The messages recorded since mark.
    QStringList since(int mark) const { return messages().mid(mark); }

private:
    mutable QMutex mutex;
    QStringList recorded;
};

// A trace log and a settings file in a temporary directory, every database
// setting pointing at a schema of the test server, written before anything
// reads them, so that nothing is imported.
struct TestSettings
{
    TestSettings(const TestMariaDb &server, const QString &schema,
                 const QString &driverVersion = QStringLiteral("5.3"))
    {
        logs = std::make_unique<Logs>(dir.filePath(QStringLiteral("Trace.log")));
        trace = std::make_unique<TraceRecorder>(logs.get());
        registry = std::make_unique<Registry>(logs.get(), dir.filePath(QStringLiteral("confdata")));
        registry->setKey(QStringLiteral("dbhost"), server.host());
        registry->setKey(QStringLiteral("dbport"), QString::number(server.port()));
        registry->setKey(QStringLiteral("dbname"), schema);
        registry->setKey(QStringLiteral("dbvdriver"), driverVersion);
        registry->setKey(QStringLiteral("dbuser"), server.user());
        registry->setKey(QStringLiteral("dbpasswd"), server.password(), true);
    }

    QStringList messages() const { return trace->messages(); }

    QTemporaryDir dir;
    std::unique_ptr<Logs> logs;
    std::unique_ptr<TraceRecorder> trace;
    std::unique_ptr<Registry> registry;
};

// The server connection alone, used from the test's thread.
struct ConnectionUnderTest : TestSettings
{
    using TestSettings::TestSettings;
    ~ConnectionUnderTest() { connection.reset(); }

    ServerConnection::OpenResult open()
    {
        return connection->open(ConnectionSettings::fromRegistry(registry.get()), &error);
    }
    ServerConnection::Outcome writeMeasurement(const QStringList &values)
    {
        return connection->insert(ServerConnection::Table::Measurements, values, &error);
    }
    ServerConnection::Outcome writeEvent(const QStringList &values)
    {
        return connection->insert(ServerConnection::Table::Events, values, &error);
    }

    std::unique_ptr<ServerConnection> connection =
            std::make_unique<ServerConnection>(logs.get(), QStringLiteral("under-test"));
    // The driver's text of the last failure.
    QString error;
};

// The program's database object: journal beside the settings, writer thread.
struct DatabaseUnderTest : TestSettings
{
    using TestSettings::TestSettings;
    ~DatabaseUnderTest()
    {
        database.reset();
        registry.reset();
    }

    // Rows of the journal's table (upsmeasurements or upsevents), the given
    // columns joined by "|", oldest first.
    QStringList journalRows(const QString &table, const QString &columns,
                            const QString &where = QStringLiteral("1"))
    {
        return readJournal(database->journalPath(),
                           QStringLiteral("SELECT ") + columns + QStringLiteral(" FROM ") + table +
                                   QStringLiteral(" WHERE ") + where +
                                   QStringLiteral(" ORDER BY id"));
    }

    std::unique_ptr<DataBase> database = std::make_unique<DataBase>(registry.get(), logs.get());
};

// A schema name of its own for each test case of a program.
inline QString freshSchemaName(const char *program)
{
    static int counter = 0;
    return QString::fromLatin1(program) + QLatin1Char('_') + QString::number(++counter);
}

// The user registry lives under HOME; every test program gets an empty one.
#define VOLTRINE_DB_TEST_MAIN(TestClass) \
    int main(int argc, char *argv[]) \
    { \
        QTemporaryDir home; \
        qputenv("HOME", QFile::encodeName(home.path())); \
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath(QStringLiteral(".config")))); \
        QApplication application(argc, argv); \
        TestClass test; \
        return QTest::qExec(&test, argc, argv); \
    }
