#include "testmariadb.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>
#include <QTextStream>
#include <QUuid>

TestMariaDb::TestMariaDb(const QString &directory)
    : stateDirectory(directory.isEmpty() ? qEnvironmentVariable("VOLTRINE_TEST_MARIADB")
                                         : directory)
    , connectionName(QStringLiteral("testmariadb-") +
                     QUuid::createUuid().toString(QUuid::WithoutBraces))
{
    if (stateDirectory.isEmpty()) {
        error = QStringLiteral("VOLTRINE_TEST_MARIADB is not set: run the test through ctest");
        return;
    }
    valid = reload();
}

TestMariaDb::~TestMariaDb()
{
    if (QSqlDatabase::contains(connectionName)) {
        QSqlDatabase::database(connectionName, false).close();
        QSqlDatabase::removeDatabase(connectionName);
    }
}

bool TestMariaDb::readFixtureDescription(const QString &directory, QHash<QString, QString> *values)
{
    QFile file(QDir(directory).filePath(QStringLiteral("env")));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    values->clear();
    QTextStream stream(&file);
    while (!stream.atEnd()) {
        const QString line = stream.readLine();
        const int equals = line.indexOf(QLatin1Char('='));
        if (equals > 0)
            values->insert(line.left(equals), line.mid(equals + 1));
    }
    return true;
}

QString TestMariaDb::odbcConnectionString(const QString &host, int port, const QString &schema)
{
    return QStringLiteral("Driver={MySQL ODBC 5.3 Unicode Driver};SERVER=") + host +
            QStringLiteral(";PORT=") + QString::number(port) + QStringLiteral(";DATABASE=") +
            schema + QLatin1Char(';');
}

bool TestMariaDb::reload()
{
    const QString file = QDir(stateDirectory).filePath(QStringLiteral("env"));
    if (!readFixtureDescription(stateDirectory, &values)) {
        error = QStringLiteral("no server described in ") + file +
                QStringLiteral(" (did the fixture start?)");
        return false;
    }
    if (port() <= 0 || user().isEmpty()) {
        error = QStringLiteral("incomplete server description in ") + file;
        return false;
    }
    return true;
}

QSqlDatabase TestMariaDb::admin(const QString &schema)
{
    QSqlDatabase db = QSqlDatabase::contains(connectionName)
            ? QSqlDatabase::database(connectionName, false)
            : QSqlDatabase::addDatabase(QStringLiteral("QODBC"), connectionName);
    const QString name = odbcConnectionString(host(), port(), schema);
    if (db.databaseName() != name || !db.isOpen()) {
        db.close();
        db.setDatabaseName(name);
        db.setUserName(user());
        db.setPassword(password());
        if (!db.open())
            lastErrorText = db.lastError().text();
    }
    return db;
}

bool TestMariaDb::exec(const QString &statement, const QString &schema)
{
    QSqlDatabase db = admin(schema);
    if (!db.isOpen())
        return false;
    QSqlQuery q(db);
    if (!q.exec(statement)) {
        lastErrorText = q.lastError().text();
        return false;
    }
    return true;
}

QStringList TestMariaDb::firstColumn(QSqlDatabase &db, const QString &statement, QString *error,
                                     bool *ok)
{
    QStringList rows;
    if (ok)
        *ok = false;
    if (!db.isOpen())
        return rows;
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.exec(statement)) {
        *error = q.lastError().text();
        return rows;
    }
    while (q.next())
        rows.append(q.value(0).toString());
    if (ok)
        *ok = true;
    return rows;
}

QStringList TestMariaDb::query(const QString &statement, const QString &schema)
{
    QSqlDatabase db = admin(schema);
    return firstColumn(db, statement, &lastErrorText);
}

bool TestMariaDb::createSchema(const QString &schema)
{
    return exec(QStringLiteral("DROP DATABASE IF EXISTS `") + schema + QLatin1Char('`')) &&
            exec(QStringLiteral("CREATE DATABASE `") + schema + QLatin1Char('`'));
}

QString TestMariaDb::fixtureScript()
{
    return QStringLiteral(VOLTRINE_MARIADB_FIXTURE);
}

bool TestMariaDb::runFixture(const QString &action, const QString &directory, QString *output)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(fixtureScript(), {action, directory});
    const bool finished = process.waitForFinished(240000);
    if (output)
        *output = QString::fromLocal8Bit(process.readAll());
    return finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

bool TestMariaDb::pause()
{
    if (QSqlDatabase::contains(connectionName))
        QSqlDatabase::database(connectionName, false).close();
    const bool ok = runFixture(QStringLiteral("pause"), stateDirectory, &lastErrorText);
    return ok;
}

bool TestMariaDb::resume()
{
    const bool ok = runFixture(QStringLiteral("resume"), stateDirectory, &lastErrorText);
    return ok && reload();
}

OwnMariaDb::OwnMariaDb(const QString &folder, const QString &registerOdbcDriver)
    : state(folder + QStringLiteral("/server"))
{
    const QString odbc = folder + QStringLiteral("/odbc");
    QProcess registration;
    registration.setProcessChannelMode(QProcess::MergedChannels);
    registration.start(registerOdbcDriver, {QStringLiteral("--sysini"), odbc});
    if (!registration.waitForFinished(240000) ||
        registration.exitStatus() != QProcess::NormalExit || registration.exitCode() != 0) {
        error = QStringLiteral("The ODBC driver could not be registered: ") +
                QString::fromLocal8Bit(registration.readAll());
        return;
    }
    qputenv("ODBCSYSINI", QFile::encodeName(odbc));
    QString output;
    started = TestMariaDb::runFixture(QStringLiteral("start"), state, &output);
    if (!started) {
        error = QStringLiteral("The server did not start: ") + output;
        return;
    }
    server = std::make_unique<TestMariaDb>(state);
    if (!server->isValid())
        error = server->errorString();
}

OwnMariaDb::~OwnMariaDb()
{
    server.reset();
    if (started)
        TestMariaDb::runFixture(QStringLiteral("stop"), state);
}
