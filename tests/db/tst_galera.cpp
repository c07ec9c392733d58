#include "galeracluster.h"
#include "journalreader.h"
#include "orphanreaper.h"
#include "serverconnection.h"
#include "testfiles.h"
#include "upssimulator.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <thread>

#include <unistd.h>

// Two agents and the desktop program write into a real three-node Galera
// cluster on loopback, each through its own list of the nodes, so that each
// starts on another node. Through power failures the node that writers use
// is killed with SIGKILL, and rejoins once they have moved on: afterwards
// every row of every journal is in the cluster exactly once, on every node.
class TestGalera : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void nodeKilledDuringPowerFailure_data();
    void nodeKilledDuringPowerFailure();

private:
    struct Writer
    {
        QString name;
        QString machineNumber;
        // The nodes in the order of its DBHOST list.
        QList<int> nodes;
        bool desktop = false;
        QString folder;
        std::unique_ptr<QProcess> process;
    };

    QString path(const QString &name) const { return dir.filePath(name); }
    void startWriter(Writer &writer);
    // Read while the cluster is not being changed: a node is killed on a
    // thread of its own.
    QString nodeName(int node) const { return nodeNames.value(node - 1); }
    int nodeInUse(const Writer &writer) const
    {
        return TestGaleraCluster::nodeInTrace(
                readFileBytes(writer.folder + QStringLiteral("/Trace.log")), nodeNames);
    }
    qint64 unsentRows(const Writer &writer) const
    {
        return unsentJournalRows(writer.folder + QStringLiteral("/journal.db"));
    }
    void checkEveryRowOnceOnEveryNode();

    OrphanReaper reaper{QStringList{QStringLiteral("mariadbd")}};
    TestGaleraCluster cluster;
    UpsSimulator simulator;
    QTemporaryDir dir;
    QStringList nodeNames;
    QList<Writer *> writers;
    Writer agentA{QStringLiteral("agent A"), QStringLiteral("AGT1"), {1, 2, 3}, false, {}, {}};
    Writer agentB{QStringLiteral("agent B"), QStringLiteral("AGT2"), {2, 3, 1}, false, {}, {}};
    Writer desktop{QStringLiteral("desktop"), QStringLiteral("DESK"), {3, 1, 2}, true, {}, {}};
};

void TestGalera::initTestCase()
{
    if (geteuid() != 0)
        QSKIP("needs root for the namespaces that keep the desktop program away from the "
              "machine's apcupsd");
    QVERIFY(dir.isValid());
    QElapsedTimer forming;
    forming.start();
    QVERIFY2(cluster.start(), qPrintable(cluster.errorString()));
    qInfo("the cluster formed in %.1f s", double(forming.elapsed()) / 1000);
    nodeNames = cluster.nodeNames();
    QVERIFY(simulator.listen());
    QVERIFY(simulator.execute(QStringLiteral("set MODEL Back-UPS ES 700G")));

    // The desktop program's daemon: the service control may start it, and it
    // does nothing. The program watches the simulator itself.
    QVERIFY(writeFileBytes(path(QStringLiteral("apcupsd")), "#!/bin/sh\nexit 0\n"));
    QVERIFY(QFile::setPermissions(path(QStringLiteral("apcupsd")),
                                  QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    QVERIFY(writeFileBytes(path(QStringLiteral("apcupsd.conf")), "## apcupsd.conf v1.1 ##\n"));
    writers = {&agentA, &agentB, &desktop};
    for (Writer *writer : writers)
        startWriter(*writer);
    for (Writer *writer : writers)
        QTRY_COMPARE_WITH_TIMEOUT(nodeInUse(*writer), writer->nodes.first(), 60000);
    for (Writer *writer : writers)
        QTRY_VERIFY_WITH_TIMEOUT(
                cluster.query(1,
                              QStringLiteral("SELECT COUNT(*) FROM upsmeasurements WHERE mcid = "
                                             "'%1'")
                                      .arg(writer->machineNumber))
                                .value(0)
                                .toInt() >= 1,
                60000);
}

void TestGalera::cleanupTestCase()
{
    for (Writer *writer : writers) {
        if (writer->process) {
            writer->process->terminate();
            if (!writer->process->waitForFinished(10000)) {
                writer->process->kill();
                writer->process->waitForFinished(10000);
            }
        }
    }
}

void TestGalera::nodeKilledDuringPowerFailure_data()
{
    QTest::addColumn<int>("node");
    // Agent A starts on node 1 and moves to node 2, where agent B is; both
    // move to node 3, where the desktop program is; all three move to node 1.
    QTest::newRow("node 1: agent A's") << 1;
    QTest::newRow("node 2: both agents'") << 2;
    QTest::newRow("node 3: every writer's") << 3;
}

void TestGalera::nodeKilledDuringPowerFailure()
{
    QFETCH(int, node);
    QList<Writer *> moving;
    for (Writer *writer : writers) {
        if (nodeInUse(*writer) == node)
            moving.append(writer);
    }
    QVERIFY(!moving.isEmpty());

    QVERIFY(simulator.execute(QStringLiteral("powerfail")));
    // The failure's rows are on their way when the node dies.
    for (Writer *writer : moving)
        QTRY_VERIFY_WITH_TIMEOUT(
                !readJournal(writer->folder + QStringLiteral("/journal.db"),
                             QStringLiteral("SELECT id FROM upsmeasurements WHERE status LIKE "
                                            "'ONBATT%'"))
                         .isEmpty(),
                60000);
    // The fixture returns once the others have formed a cluster of two; the
    // writers see the death at once, and the clock runs from there.
    const qint64 pid = cluster.serverPid(node);
    bool killed = false;
    std::thread killing([this, node, &killed] { killed = cluster.killNode(node); });
    QTRY_VERIFY_WITH_TIMEOUT(!TestGaleraCluster::isServerRunning(pid), 30000);
    QElapsedTimer sinceDeath;
    sinceDeath.start();
    QVERIFY(simulator.execute(QStringLiteral("powerback")));
    for (Writer *writer : moving) {
        // The next node of its list that is up.
        const int next = writer->nodes.at((writer->nodes.indexOf(node) + 1) % 3);
        QTRY_COMPARE_WITH_TIMEOUT(nodeInUse(*writer), next, 60000);
    }
    for (Writer *writer : moving)
        QTRY_VERIFY_WITH_TIMEOUT(
                unsentRows(*writer) == 0 &&
                        !readJournal(writer->folder + QStringLiteral("/journal.db"),
                                     QStringLiteral(
                                             "SELECT id FROM upsmeasurements WHERE state = 1 AND "
                                             "status = 'ONLINE' AND id > (SELECT MAX(id) FROM "
                                             "upsmeasurements WHERE status LIKE 'ONBATT%')"))
                                 .isEmpty(),
                120000);
    qInfo("%s: the power's return stored on another node %.1f s after the node died",
          QTest::currentDataTag(), double(sinceDeath.elapsed()) / 1000);
    killing.join();
    QVERIFY2(killed, qPrintable(cluster.errorString()));
    for (Writer *writer : writers)
        QTRY_COMPARE_WITH_TIMEOUT(unsentRows(*writer), qint64(0), 120000);

    QVERIFY2(cluster.rejoinNode(node), qPrintable(cluster.errorString()));
    checkEveryRowOnceOnEveryNode();
}

void TestGalera::startWriter(Writer &writer)
{
    writer.folder = path(writer.machineNumber);
    QVERIFY(QDir().mkpath(writer.folder));
    QStringList hosts;
    for (const int node : writer.nodes)
        hosts.append(nodeName(node));
    QVERIFY(writeFileBytes(writer.folder + QStringLiteral("/confdata"),
                           "Voltrine:Configuration\nVersion:1.1\nUPSHOST:127.0.0.1\nUPSPORT:" +
                                   QByteArray::number(simulator.port()) +
                                   "\nDBHOST:" + hosts.join(QLatin1Char(',')).toLatin1() +
                                   "\nDBPORT:3306\nDBNAME:" + cluster.database().toLatin1() +
                                   "\nDBVDRIVER:5.3\nDBUSER:" + cluster.user().toLatin1() +
                                   "\nDBPASSWD:" + cluster.password().toLatin1().toHex() +
                                   "\nDBLOGTIME:60000\nSTARTMINIMISED:true\n"));

    writer.process = std::make_unique<QProcess>();
    writer.process->setWorkingDirectory(writer.folder);
    writer.process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    writer.process->setStandardOutputFile(writer.folder + QStringLiteral("/stdout"));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (writer.desktop) {
        const QString home = writer.folder + QStringLiteral("/home");
        QSettings(home + QStringLiteral("/.config/Brindlecast/Administration.conf"),
                  QSettings::IniFormat)
                .setValue(QStringLiteral("MachineNumber"), writer.machineNumber);
        environment.insert(QStringLiteral("HOME"), home);
        environment.remove(QStringLiteral("XDG_CONFIG_HOME"));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        writer.process->setProcessEnvironment(environment);
        writer.process->start(QStringLiteral(VOLTRINE_SANDBOX),
                              {path(QStringLiteral("apcupsd")),
                               path(QStringLiteral("apcupsd.conf")),
                               QStringLiteral(VOLTRINE_BINARY)});
    } else {
        QSettings(writer.folder + QStringLiteral("/Brindlecast/Administration.conf"),
                  QSettings::IniFormat)
                .setValue(QStringLiteral("MachineNumber"), writer.machineNumber);
        writer.process->setProcessEnvironment(environment);
        writer.process->start(QStringLiteral(VOLTRINE_AGENT),
                              {QStringLiteral("--data"), writer.folder});
    }
    QVERIFY(writer.process->waitForStarted(30000));
}

void TestGalera::checkEveryRowOnceOnEveryNode()
{
    for (Writer *writer : writers) {
        const QString journal = writer->folder + QStringLiteral("/journal.db");
        // One delivery key for each row the journal sent, on every node.
        const QString source =
                readJournal(journal,
                            QStringLiteral("SELECT value FROM journal_meta WHERE key = "
                                           "'delivery.source'"))
                        .value(0);
        QVERIFY(!source.isEmpty());
        for (int node = 1; node <= TestGaleraCluster::nodes; ++node) {
            // Rows sent so far by the journal, of each kind, and their keys on the node.
            const auto sent = [&journal](const char *table) {
                return readJournal(journal,
                                   QStringLiteral("SELECT COUNT(*) FROM %1 WHERE state = 1")
                                           .arg(QLatin1String(table)))
                        .value(0)
                        .toLongLong();
            };
            const auto keys = [&](const char *kind) {
                return cluster
                        .query(node,
                               QStringLiteral("SELECT COUNT(*) FROM voltrine_delivery WHERE "
                                              "source = '%1' AND kind = '%2'")
                                       .arg(source, QLatin1String(kind)))
                        .value(0)
                        .toLongLong();
            };
            const qint64 measurementsBefore = sent("upsmeasurements");
            const qint64 eventsBefore = sent("upsevents");
            const qint64 measurementKeys = keys("M");
            const qint64 eventKeys = keys("E");
            QVERIFY2(
                    measurementKeys >= measurementsBefore && eventKeys >= eventsBefore,
                    qPrintable(QStringLiteral("%1, node %2: %3 and %4 keys for %5 and %6 rows sent")
                                       .arg(writer->name)
                                       .arg(node)
                                       .arg(measurementKeys)
                                       .arg(eventKeys)
                                       .arg(measurementsBefore)
                                       .arg(eventsBefore)));
            QVERIFY(measurementKeys <= sent("upsmeasurements") && eventKeys <= sent("upsevents"));
        }
        for (const bool measurements : {true, false}) {
            const QStringList &names = measurements ? ServerConnection::measurementColumns()
                                                    : ServerConnection::eventColumns();
            const QString table =
                    measurements ? QStringLiteral("upsmeasurements") : QStringLiteral("upsevents");
            // Rows keep coming: what the journal had sent before a node is
            // read is there, and the node holds nothing it had not sent after.
            const QString sent = QStringLiteral("SELECT ") + names.join(QLatin1Char(',')) +
                    QStringLiteral(" FROM ") + table + QStringLiteral(" WHERE state = 1");
            for (int node = 1; node <= TestGaleraCluster::nodes; ++node) {
                QStringList before = readJournal(journal, sent);
                bool ok = false;
                QStringList stored = cluster.query(
                        node,
                        QStringLiteral("SELECT CONCAT_WS('|', ") + names.join(QLatin1Char(',')) +
                                QStringLiteral(") FROM ") + table +
                                QStringLiteral(" WHERE mcid = '") + writer->machineNumber +
                                QLatin1Char('\''),
                        &ok);
                QVERIFY2(ok, qPrintable(cluster.lastError()));
                QStringList after = readJournal(journal, sent);
                QVERIFY(!before.isEmpty());
                before.sort();
                stored.sort();
                after.sort();
                for (const QString &row : qAsConst(before))
                    QVERIFY2(stored.count(row) == before.count(row),
                             qPrintable(QStringLiteral("%1, node %2, %3: %4 stored %5 times")
                                                .arg(writer->name)
                                                .arg(node)
                                                .arg(table, row)
                                                .arg(stored.count(row))));
                for (const QString &row : qAsConst(stored))
                    QVERIFY2(after.count(row) >= stored.count(row),
                             qPrintable(QStringLiteral("%1, node %2, %3: %4 stored, not sent")
                                                .arg(writer->name)
                                                .arg(node)
                                                .arg(table, row)));
            }
        }
    }
}

QTEST_GUILESS_MAIN(TestGalera)
#include "tst_galera.moc"
