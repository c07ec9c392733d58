#pragma once

#include <QHash>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

#include <memory>

// The private MariaDB server that a CTest fixture started for this run with
// tests/support/mariadb-fixture. The fixture's state directory comes from the
// environment variable VOLTRINE_TEST_MARIADB, the ODBC driver registration
// from ODBCSYSINI (both set by tests/db/CMakeLists.txt).
class TestMariaDb final
{
public:
    explicit TestMariaDb(const QString &stateDirectory = QString());
    ~TestMariaDb();
    TestMariaDb(const TestMariaDb &) = delete;
    TestMariaDb &operator=(const TestMariaDb &) = delete;

    // False when the fixture's description is missing; errorString() says why.
    bool isValid() const { return valid; }
    QString errorString() const { return error; }

    QString host() const { return values.value(QStringLiteral("HOST")); }
    int port() const { return values.value(QStringLiteral("PORT")).toInt(); }
    QString user() const { return values.value(QStringLiteral("USER")); }
    QString password() const { return values.value(QStringLiteral("PASSWORD")); }
    int serverPid() const { return values.value(QStringLiteral("PID")).toInt(); }

    // An empty schema of that name (dropped first when it exists).
    bool createSchema(const QString &schema);
    // Runs one statement as the fixture's user; returns the first column of
    // every row. Fails the running test on an error.
    QStringList query(const QString &statement, const QString &schema = QString());
    // Like query(), for statements expected to work; returns false on error.
    bool exec(const QString &statement, const QString &schema = QString());
    QString lastError() const { return lastErrorText; }

    // Shuts the server down keeping its data and port, and starts it again.
    bool pause();
    bool resume();

    // The fixture script, for tests that start a server of their own.
    static QString fixtureScript();
    // The KEY=value lines of a fixture's STATE_DIR/env; false when it is missing.
    static bool readFixtureDescription(const QString &stateDirectory,
                                       QHash<QString, QString> *values);
    // How QODBC reaches a server through MariaDB's driver.
    static QString odbcConnectionString(const QString &host, int port, const QString &schema);
    // The first column of every row a statement gives; on failure nothing,
    // with the driver's text in *error.
    static QStringList firstColumn(QSqlDatabase &db, const QString &statement, QString *error,
                                   bool *ok = nullptr);
    static bool runFixture(const QString &action, const QString &stateDirectory,
                           QString *output = nullptr);

private:
    QSqlDatabase admin(const QString &schema);
    bool reload();

    QString stateDirectory;
    QHash<QString, QString> values;
    bool valid = false;
    QString error;
    QString lastErrorText;
    QString connectionName;
};

// A server of a program's own, for the benchmarks that run outside CTest's
// fixtures: the ODBC driver registered in a private folder (ODBCSYSINI is set
// for this process), the server started under the given folder, and stopped
// again when this ends.
class OwnMariaDb final
{
public:
    OwnMariaDb(const QString &folder, const QString &registerOdbcDriver);
    ~OwnMariaDb();
    OwnMariaDb(const OwnMariaDb &) = delete;
    OwnMariaDb &operator=(const OwnMariaDb &) = delete;

    bool isValid() const { return server && server->isValid(); }
    QString errorString() const { return error; }
    TestMariaDb &get() { return *server; }

private:
    QString state;
    bool started = false;
    std::unique_ptr<TestMariaDb> server;
    QString error;
};
