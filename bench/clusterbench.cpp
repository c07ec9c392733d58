// clusterbench: what a database outage and a node's death cost an agent that
// writes into a three-node MariaDB Galera cluster, beside a single server.
//
//   clusterbench [--outage SECONDS] [--kills N]      defaults 600 and 6
//
// It starts, all on loopback: a MariaDB server (tests/support/mariadb-fixture),
// a Galera cluster of three (tests/support/galera-fixture), the UPS simulator,
// and two voltrine-agents that watch it, one writing to the single server and
// one to the cluster through the list of its nodes. Then, in one run:
//   1. the database is out of reach of both agents for SECONDS while the power
//      has failed (their DBHOST names a closed port, by confdata and SIGHUP),
//      so that each keeps a backlog in its journal, a row per changed reply;
//      then each in turn is given its servers again (SIGHUP), and the time
//      from its first to its last backlog row stored gives rows per second;
//   2. N times, with the power failed so that rows keep coming (on battery
//      the charge and runtime change): the node the cluster's agent writes to
//      is killed (SIGKILL), and the time from its death to the next row
//      stored, on another node, is taken; the node then rejoins.
// Every row is then counted on the servers against the journals.
// Not a test: figures depend on the machine; compare them within one run.

#include "galeracluster.h"
#include "journalreader.h"
#include "orphanreaper.h"
#include "testmariadb.h"
#include "upssimulator.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>

#include <algorithm>
#include <functional>
#include <memory>
#include <thread>

#include <signal.h>

namespace {

QTextStream out(stdout);

bool waitFor(const std::function<bool()> &done, int timeoutMs, int stepMs = 20)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QTest::qWait(stepMs);
    }
    return true;
}

QString seconds(qint64 ms)
{
    return QString::number(double(ms) / 1000, 'f', 2) + QStringLiteral(" s");
}

struct Agent
{
    QString name;
    QString machineNumber;
    QString folder;
    QString journal() const { return folder + QStringLiteral("/journal.db"); }
    std::unique_ptr<QProcess> process;

    qint64 rows(const QString &condition) const
    {
        const QStringList count = readJournal(
                journal(),
                QStringLiteral("SELECT (SELECT COUNT(*) FROM upsmeasurements WHERE %1) + "
                               "(SELECT COUNT(*) FROM upsevents WHERE %1)")
                        .arg(condition));
        return count.isEmpty() ? -1 : count.first().toLongLong();
    }
    qint64 unsent() const { return unsentJournalRows(journal()); }
    // The database settings: DBHOST (a list for the cluster) and DBPORT.
    bool configure(const QString &hosts, int port, const QString &schema, const QString &user,
                   const QString &password, quint16 upsPort) const
    {
        QFile file(folder + QStringLiteral("/confdata"));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        file.write("Voltrine:Configuration\nVersion:1.1\nUPSHOST:127.0.0.1\nUPSPORT:" +
                   QByteArray::number(upsPort) + "\nDBHOST:" + hosts.toLatin1() +
                   "\nDBPORT:" + QByteArray::number(port) + "\nDBNAME:" + schema.toLatin1() +
                   "\nDBVDRIVER:5.3\nDBUSER:" + user.toLatin1() + "\nDBPASSWD:" +
                   password.toLatin1().toHex() + "\nDBLOGTIME:60000\nSTARTMINIMISED:true\n");
        return file.error() == QFileDevice::NoError;
    }
    void reload() const { ::kill(pid_t(process->processId()), SIGHUP); }
    QByteArray trace() const
    {
        QFile file(folder + QStringLiteral("/Trace.log"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
};

struct Drain
{
    qint64 backlog = 0;
    qint64 toFirstMs = 0, firstToLastMs = 0;
    bool done = false;
};

// Gives the agent its servers again and times its backlog into them.
Drain drain(Agent &agent, const std::function<bool()> &configure)
{
    Drain result;
    result.backlog = agent.unsent();
    if (!configure())
        return result;
    QElapsedTimer timer;
    timer.start();
    agent.reload();
    qint64 first = -1;
    result.done = waitFor(
            [&] {
                const qint64 waiting = agent.unsent();
                if (first < 0 && waiting >= 0 && waiting < result.backlog)
                    first = timer.elapsed();
                return waiting == 0;
            },
            600000, 5);
    const qint64 last = timer.elapsed();
    result.toFirstMs = first;
    result.firstToLastMs = last - first;
    return result;
}

void printDrain(const QString &what, const Drain &drained)
{
    out << "   " << what << ": " << drained.backlog << " rows";
    if (!drained.done) {
        out << " NOT drained within 10 minutes\n";
        return;
    }
    const double rate = drained.firstToLastMs > 0
            ? double(drained.backlog - 1) * 1000 / double(drained.firstToLastMs)
            : 0;
    out << ", first stored " << seconds(drained.toFirstMs) << " after SIGHUP, the rest in "
        << seconds(drained.firstToLastMs) << ": " << QString::number(rate, 'f', 0) << " rows/s\n";
    out.flush();
}

QString medianAndMaximum(QVector<qint64> ms)
{
    if (ms.isEmpty())
        return QStringLiteral("none");
    std::sort(ms.begin(), ms.end());
    const int n = ms.size();
    const qint64 median = n % 2 ? ms.at(n / 2) : (ms.at(n / 2 - 1) + ms.at(n / 2)) / 2;
    QString each;
    for (const qint64 value : ms)
        each += QLatin1Char(' ') + seconds(value);
    return QStringLiteral("median %1, maximum %2 (each:%3)")
            .arg(seconds(median), seconds(ms.last()), each);
}

// Journal rows against server rows of the agent's machine number.
QString exactlyOnce(const Agent &agent, qint64 onServer)
{
    const qint64 kept = agent.rows(QStringLiteral("TRUE"));
    const qint64 sent = agent.rows(QStringLiteral("state = 1"));
    return QStringLiteral("%1 rows in its journal, %2 sent, %3 on the server")
            .arg(kept)
            .arg(sent)
            .arg(onServer);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "A database outage and a node's death, for an agent writing to a Galera cluster"));
    parser.addHelpOption();
    parser.addOption({QStringLiteral("outage"), QStringLiteral("seconds out of reach"),
                      QStringLiteral("SECONDS"), QStringLiteral("600")});
    parser.addOption({QStringLiteral("kills"), QStringLiteral("nodes killed"), QStringLiteral("N"),
                      QStringLiteral("6")});
    parser.process(application);
    const int outageSeconds = qMax(10, parser.value(QStringLiteral("outage")).toInt());
    const int kills = qMax(1, parser.value(QStringLiteral("kills")).toInt());

    OrphanReaper reaper{QStringList{QStringLiteral("mariadbd")}};
    QTemporaryDir dir;
    OwnMariaDb ownServer(dir.path(), QStringLiteral(VOLTRINE_REGISTER_ODBC_DRIVER));
    if (!ownServer.isValid()) {
        out << ownServer.errorString() << '\n';
        return 1;
    }
    TestMariaDb &server = ownServer.get();
    const QString schema = QStringLiteral("bench_drain");
    server.createSchema(schema);

    QElapsedTimer forming;
    forming.start();
    TestGaleraCluster cluster(dir.filePath(QStringLiteral("galera")));
    if (!cluster.start()) {
        out << cluster.errorString() << '\n';
        return 1;
    }
    out << "clusterbench: the cluster of three formed in " << seconds(forming.elapsed()) << '\n';
    const QStringList nodeNames = cluster.nodeNames();

    UpsSimulator simulator;
    if (!simulator.listen()) {
        out << "the UPS simulator does not listen\n";
        return 1;
    }
    simulator.execute(QStringLiteral("set MODEL Back-UPS ES 700G"));

    // A port where nothing listens: connections are refused at once.
    quint16 closedPort = 0;
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost);
        closedPort = probe.serverPort();
    }

    Agent single{QStringLiteral("single server"), QStringLiteral("SRV1"), {}, {}};
    Agent clustered{QStringLiteral("cluster"), QStringLiteral("CLU1"), {}, {}};
    const auto toServer = [&] {
        return single.configure(server.host(), server.port(), schema, server.user(),
                                server.password(), simulator.port());
    };
    const auto toCluster = [&] {
        return clustered.configure(nodeNames.join(QLatin1Char(',')), 3306, cluster.database(),
                                   cluster.user(), cluster.password(), simulator.port());
    };
    const auto outOfReach = [&](Agent &agent) {
        return agent.configure(QStringLiteral("127.0.0.1"), closedPort, schema,
                               QStringLiteral("nobody"), QStringLiteral("none"), simulator.port());
    };
    for (Agent *agent : {&single, &clustered}) {
        agent->folder = dir.filePath(agent->machineNumber);
        QDir().mkpath(agent->folder);
        QSettings(agent->folder + QStringLiteral("/Brindlecast/Administration.conf"),
                  QSettings::IniFormat)
                .setValue(QStringLiteral("MachineNumber"), agent->machineNumber);
    }
    if (!toServer() || !toCluster()) {
        out << "cannot write confdata\n";
        return 1;
    }
    for (Agent *agent : {&single, &clustered}) {
        agent->process = std::make_unique<QProcess>();
        agent->process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        agent->process->setStandardOutputFile(QProcess::nullDevice());
        agent->process->start(QStringLiteral(VOLTRINE_AGENT),
                              {QStringLiteral("--data"), agent->folder});
        if (!agent->process->waitForStarted(30000)) {
            out << "voltrine-agent did not start\n";
            return 1;
        }
    }
    for (Agent *agent : {&single, &clustered}) {
        if (!waitFor([agent] { return agent->rows(QStringLiteral("state = 1")) > 0; }, 60000)) {
            out << agent->name << ": no row stored within 60 s\n";
            return 1;
        }
    }
    const auto stopAgents = [&] {
        for (Agent *agent : {&single, &clustered}) {
            agent->process->terminate();
            agent->process->waitForFinished(10000);
        }
    };

    // 1. The outage, and the backlogs drained.
    for (Agent *agent : {&single, &clustered}) {
        outOfReach(*agent);
        agent->reload();
    }
    simulator.execute(QStringLiteral("powerfail"));
    out << "1. the database out of reach for " << outageSeconds
        << " s while the power has failed; then each agent's backlog drained in turn:\n";
    out.flush();
    QTest::qWait(outageSeconds * 1000);
    simulator.execute(QStringLiteral("powerback"));
    // The power's return, the last row of the backlog.
    const auto returned = [](const Agent &agent) {
        return !readJournal(agent.journal(),
                            QStringLiteral("SELECT id FROM upsmeasurements WHERE status = "
                                           "'ONLINE' AND id > (SELECT MAX(id) FROM "
                                           "upsmeasurements WHERE status LIKE 'ONBATT%')"))
                        .isEmpty();
    };
    waitFor([&] { return returned(single) && returned(clustered); }, 30000);
    QTest::qWait(2000);
    printDrain(QStringLiteral("single server"), drain(single, toServer));
    printDrain(QStringLiteral("cluster of three"), drain(clustered, toCluster));

    // 2. The node in use killed, again and again.
    simulator.execute(QStringLiteral("powerfail"));
    QVector<qint64> deathToRow;
    for (int kill = 0; kill < kills; ++kill) {
        const int node = TestGaleraCluster::nodeInTrace(clustered.trace(), nodeNames);
        if (node < 1) {
            out << "cannot tell the node in use\n";
            break;
        }
        const qint64 pid = cluster.serverPid(node);
        bool killed = false;
        std::thread killing([&cluster, node, &killed] { killed = cluster.killNode(node); });
        waitFor([pid] { return !TestGaleraCluster::isServerRunning(pid); }, 30000, 1);
        QElapsedTimer sinceDeath;
        sinceDeath.start();
        // Rows go in their order: the next row stored is the first after the
        // last one the journal had marked when the node died.
        const qint64 lastStored =
                readJournal(clustered.journal(),
                            QStringLiteral("SELECT COALESCE(MAX(id), 0) FROM upsmeasurements "
                                           "WHERE state = 1"))
                        .value(0)
                        .toLongLong();
        const bool stored = waitFor(
                [&] {
                    return !readJournal(clustered.journal(),
                                        QStringLiteral("SELECT id FROM upsmeasurements WHERE "
                                                       "state = 1 AND id > %1 LIMIT 1")
                                                .arg(lastStored))
                                    .isEmpty();
                },
                120000, 10);
        const qint64 toRow = sinceDeath.elapsed();
        killing.join();
        if (!stored || !killed) {
            out << "2. node " << node << ": "
                << (killed ? QStringLiteral("no row stored") : cluster.errorString()) << '\n';
            break;
        }
        deathToRow.append(toRow);
        if (!cluster.rejoinNode(node)) {
            out << "2. node " << node << " did not rejoin: " << cluster.errorString() << '\n';
            break;
        }
        waitFor([&] { return clustered.unsent() == 0; }, 120000);
    }
    simulator.execute(QStringLiteral("powerback"));
    out << "2. a node killed " << deathToRow.size()
        << " times, the one the agent writes to:\n   death to the next row stored, on another "
           "node: "
        << medianAndMaximum(deathToRow) << '\n';

    // Every row once: the journals against the servers.
    waitFor([&] { return single.unsent() == 0 && clustered.unsent() == 0; }, 120000);
    stopAgents();
    const qint64 onServer =
            server.query(QStringLiteral("SELECT (SELECT COUNT(*) FROM upsmeasurements WHERE mcid "
                                        "= 'SRV1') + (SELECT COUNT(*) FROM upsevents WHERE mcid "
                                        "= 'SRV1')"),
                         schema)
                    .value(0)
                    .toLongLong();
    out << "   single server's agent: " << exactlyOnce(single, onServer) << '\n';
    for (int node = 1; node <= TestGaleraCluster::nodes; ++node) {
        const qint64 onNode =
                cluster.query(node,
                              QStringLiteral("SELECT (SELECT COUNT(*) FROM upsmeasurements WHERE "
                                             "mcid = 'CLU1') + (SELECT COUNT(*) FROM upsevents "
                                             "WHERE mcid = 'CLU1')"))
                        .value(0)
                        .toLongLong();
        out << "   cluster's agent, node " << node << ": " << exactlyOnce(clustered, onNode)
            << '\n';
    }
    return 0;
}
