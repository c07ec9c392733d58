#pragma once

#include <QHash>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A private three-node MariaDB Galera cluster on loopback, started with
// tests/support/galera-fixture in a folder of its own and stopped when this
// ends. The nodes are reached through QODBC as TestMariaDb reaches its server,
// so ODBCSYSINI must name a registration of MariaDB's driver.
//
// Under a PID 1 that never collects orphans, the killed and stopped servers
// stay as zombies named mariadbd; an OrphanReaper for "mariadbd" collects them.
class TestGaleraCluster final
{
public:
    static constexpr int nodes = 3;

    // The fixture's state goes to stateDirectory, or to a temporary folder.
    explicit TestGaleraCluster(const QString &stateDirectory = QString());
    ~TestGaleraCluster();
    TestGaleraCluster(const TestGaleraCluster &) = delete;
    TestGaleraCluster &operator=(const TestGaleraCluster &) = delete;

    // Forms the cluster: every node synced in a primary component of three.
    // False, with the fixture's output in errorString(), when it did not.
    bool start();
    bool isRunning() const { return started; }
    QString errorString() const { return error; }

    QString host() const { return values.value(QStringLiteral("HOST")); }
    // Nodes count from 1, as in the fixture.
    int port(int node) const { return nodeValue(QStringLiteral("PORT"), node).toInt(); }
    // 0 while the node is down.
    int serverPid(int node) const { return nodeValue(QStringLiteral("PID"), node).toInt(); }
    QString user() const { return values.value(QStringLiteral("USER")); }
    QString password() const { return values.value(QStringLiteral("PASSWORD")); }
    QString database() const { return values.value(QStringLiteral("DATABASE")); }

    // SIGKILLs the node; returns once the other two are synced without it.
    bool killNode(int node);
    // Starts it again on its data and ports; returns once all three are synced.
    bool rejoinNode(int node);

    // Runs one statement on a node in the cluster's database as its user;
    // returns the first column of every row. Reads wait until the node has
    // applied what the cluster committed before them (wsrep_sync_wait), so a
    // row written on another node is seen. *ok, and lastError(), tell failure
    // from an empty answer.
    QStringList query(int node, const QString &statement, bool *ok = nullptr);
    bool exec(int node, const QString &statement);
    QString lastError() const { return lastErrorText; }

    static QString fixtureScript();

    // "host:port" of each node, in order: what a writer's DBHOST lists and
    // its trace names. Read while no node is being killed or rejoined.
    QStringList nodeNames() const;
    // The node a writer's trace says it writes to last, by nodeNames: 0 when
    // it names none yet, -1 when it names another server.
    static int nodeInTrace(const QByteArray &trace, const QStringList &nodeNames);
    // A killed server waits as a zombie until it is collected: not running.
    static bool isServerRunning(qint64 pid);

private:
    bool runFixture(const QStringList &arguments);
    bool reload();
    QString nodeValue(const QString &key, int node) const
    {
        return values.value(key + QString::number(node));
    }
    QString connectionName(int node) const;
    QSqlDatabase connection(int node);
    void closeConnection(int node);

    QTemporaryDir temporary;
    QString state;
    QString connectionPrefix;
    QHash<QString, QString> values;
    bool started = false;
    QString error;
    QString lastErrorText;
};
