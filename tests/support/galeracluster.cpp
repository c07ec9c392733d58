#include "galeracluster.h"

#include "testmariadb.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <QVariant>

namespace {
// Above the fixture's own limits: each of its waits gives up after five
// minutes, and forming the cluster takes four of them.
constexpr int fixtureTimeoutMs = 25 * 60 * 1000;
} // namespace

TestGaleraCluster::TestGaleraCluster(const QString &stateDirectory)
    : state(!stateDirectory.isEmpty()     ? stateDirectory
                    : temporary.isValid() ? temporary.filePath(QStringLiteral("galera"))
                                          : QString())
    , connectionPrefix(QStringLiteral("testgalera-") +
                       QUuid::createUuid().toString(QUuid::WithoutBraces) + QStringLiteral("-node"))
{ }

TestGaleraCluster::~TestGaleraCluster()
{
    for (int node = 1; node <= nodes; ++node) {
        closeConnection(node);
        QSqlDatabase::removeDatabase(connectionName(node));
    }
    // Also after a failed start: the fixture leaves no node running then, but
    // its folder stays until stop.
    if (started || QFile::exists(QDir(state).filePath(QStringLiteral("env"))))
        runFixture({QStringLiteral("stop"), state});
}

QStringList TestGaleraCluster::nodeNames() const
{
    QStringList names;
    for (int node = 1; node <= nodes; ++node)
        names.append(host() + QLatin1Char(':') + QString::number(port(node)));
    return names;
}

int TestGaleraCluster::nodeInTrace(const QByteArray &trace, const QStringList &nodeNames)
{
    const QByteArray marker = "]: Writing to database node ";
    const int at = trace.lastIndexOf(marker);
    if (at < 0)
        return 0;
    const QByteArray name = trace.mid(at + marker.size()).split('\r').first().split('\n').first();
    const int index = int(nodeNames.indexOf(QString::fromLatin1(name)));
    return index < 0 ? -1 : index + 1;
}

bool TestGaleraCluster::isServerRunning(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray stat = file.readAll();
    const int end = stat.lastIndexOf(')');
    return end > 0 && stat.mid(end + 2, 1) != "Z";
}

QString TestGaleraCluster::fixtureScript()
{
    return QStringLiteral(VOLTRINE_GALERA_FIXTURE);
}

bool TestGaleraCluster::runFixture(const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(fixtureScript(), arguments);
    if (!process.waitForStarted()) {
        lastErrorText =
                fixtureScript() + QStringLiteral(" did not start: ") + process.errorString();
        return false;
    }
    const bool finished = process.waitForFinished(fixtureTimeoutMs);
    if (!finished) {
        process.kill();
        process.waitForFinished();
    }
    lastErrorText = QString::fromLocal8Bit(process.readAll());
    if (!finished)
        lastErrorText += QStringLiteral("\n(the fixture did not finish in time)");
    return finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

bool TestGaleraCluster::reload()
{
    if (!TestMariaDb::readFixtureDescription(state, &values)) {
        lastErrorText = QStringLiteral("no cluster described in ") + state;
        return false;
    }
    for (int node = 1; node <= nodes; ++node) {
        if (port(node) <= 0) {
            lastErrorText = QStringLiteral("no port for node ") + QString::number(node) +
                    QStringLiteral(" in ") + state;
            return false;
        }
    }
    return !user().isEmpty();
}

bool TestGaleraCluster::start()
{
    if (started)
        return true;
    if (state.isEmpty() || !QDir().mkpath(state)) {
        error = QStringLiteral("no folder for the cluster's state");
        return false;
    }
    const bool formed = runFixture({QStringLiteral("start"), state});
    started = formed && reload();
    if (!started)
        error = lastErrorText;
    return started;
}

bool TestGaleraCluster::killNode(int node)
{
    // Its connection would only fail later, on the first statement.
    closeConnection(node);
    const bool ok = runFixture({QStringLiteral("kill"), state, QString::number(node)});
    reload();
    return ok;
}

bool TestGaleraCluster::rejoinNode(int node)
{
    closeConnection(node);
    const bool ok = runFixture({QStringLiteral("rejoin"), state, QString::number(node)});
    reload();
    return ok;
}

QString TestGaleraCluster::connectionName(int node) const
{
    return connectionPrefix + QString::number(node);
}

void TestGaleraCluster::closeConnection(int node)
{
    if (QSqlDatabase::contains(connectionName(node)))
        QSqlDatabase::database(connectionName(node), false).close();
}

QSqlDatabase TestGaleraCluster::connection(int node)
{
    const QString name = connectionName(node);
    QSqlDatabase db = QSqlDatabase::contains(name)
            ? QSqlDatabase::database(name, false)
            : QSqlDatabase::addDatabase(QStringLiteral("QODBC"), name);
    if (db.isOpen())
        return db;
    db.setDatabaseName(TestMariaDb::odbcConnectionString(host(), port(node), database()));
    db.setUserName(user());
    db.setPassword(password());
    if (!db.open()) {
        lastErrorText = db.lastError().text();
        return db;
    }
    QSqlQuery causal(db);
    if (!causal.exec(QStringLiteral("SET SESSION wsrep_sync_wait = 1"))) {
        lastErrorText = causal.lastError().text();
        db.close();
    }
    return db;
}

QStringList TestGaleraCluster::query(int node, const QString &statement, bool *ok)
{
    if (node < 1 || node > nodes) {
        if (ok)
            *ok = false;
        lastErrorText = QStringLiteral("no node ") + QString::number(node);
        return {};
    }
    QSqlDatabase db = connection(node);
    return TestMariaDb::firstColumn(db, statement, &lastErrorText, ok);
}

bool TestGaleraCluster::exec(int node, const QString &statement)
{
    bool ok = false;
    query(node, statement, &ok);
    return ok;
}
