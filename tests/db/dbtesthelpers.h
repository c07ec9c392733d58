#pragma once

#include "database.h"
#include "logs.h"
#include "registry.h"
#include "samplerows.h"
#include "testmariadb.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

// The messages traced through a log, without their time stamps.
class TraceRecorder final : public QObject
{
public:
    explicit TraceRecorder(Logs *logs)
    {
        connect(logs, &Logs::LogDbProxy, this, [this](const QString &stamped) {
            messages.append(stamped.mid(stamped.indexOf(QStringLiteral("]: ")) + 3));
        });
    }
    QStringList messages;

    // The messages recorded since mark.
    QStringList since(int mark) const { return messages.mid(mark); }
};

// A DataBase with its own trace log and settings file in a temporary
// directory, pointed at a schema of the test server. Every database setting is
// written before the object is built, so nothing is imported.
struct DatabaseUnderTest
{
    DatabaseUnderTest(const TestMariaDb &server, const QString &schema,
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
        database = std::make_unique<DataBase>(registry.get(), logs.get());
    }

    ~DatabaseUnderTest()
    {
        database.reset();
        registry.reset();
    }

    QStringList messages() const { return trace->messages; }

    QTemporaryDir dir;
    std::unique_ptr<Logs> logs;
    std::unique_ptr<TraceRecorder> trace;
    std::unique_ptr<Registry> registry;
    std::unique_ptr<DataBase> database;
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
