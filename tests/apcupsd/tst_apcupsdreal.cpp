// The Linux profile with Debian's real apcupsd: the controller writes the
// daemon's configuration, starts it, finds it running, stops it around a
// self-test and ends it, while the network client reads it. The daemon is a
// network slave of the UPS simulator, with every path in a temporary
// directory and a stub apccontrol that only records its arguments. It runs
// under an image name unique to this test, and the controller stops only the
// daemon its pid file names after the controller started it.
#include "apcupsdcontrol.h"
#include "comthrd.h"
#include "orphanreaper.h"
#include "registry.h"
#include "standinprograms.h"
#include "tracerecorder.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

#include <memory>

namespace {

quint16 freeLoopbackPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

} // namespace

class TestApcupsdReal : public QObject
{
    Q_OBJECT

private:
    const QString daemonName =
            QStringLiteral("vtd") + QString::number(QCoreApplication::applicationPid());
    // Collects the ended daemons, also while a self-test blocks this thread:
    // a daemon's zombie would look like a running daemon to "ps".
    OrphanReaper reaper{QStringList{daemonName}};
    QTemporaryDir dir;
    QProcess simulator;
    quint16 simulatorPort = 0;
    quint16 nisPort = 0;
    std::unique_ptr<TraceRecorder> traces;
    std::unique_ptr<TraceRecorder> otherTraces;
    std::unique_ptr<Registry> registry;
    std::unique_ptr<COMThrd> client;
    std::unique_ptr<ApcUpsdControl> control;

    QString path(const QString &name) const { return dir.filePath(name); }

    QList<qint64> daemons() const { return OrphanReaper::running(daemonName); }

    // The daemon's process as its -P file names it, once that is a live
    // daemon of ours; 0 before. apcupsd makes itself a daemon by forking, so
    // for a moment two processes of its name exist: a count of them flickers.
    qint64 daemonPid() const
    {
        const qint64 pid = fileContent(path(QStringLiteral("apcupsd.pid"))).trimmed().toLongLong();
        return pid > 0 && daemons().contains(pid) ? pid : 0;
    }

    InstallationProfile testProfile() const
    {
        InstallationProfile profile = InstallationProfile::linuxStandIn();
        profile.apcupsdRoot = dir.path();
        profile.daemonRelativePath = QLatin1Char('/') + daemonName;
        profile.daemonArguments =
                QStringList{QStringLiteral("-f"), path(QStringLiteral("apcupsd.conf")),
                            QStringLiteral("-P"), path(QStringLiteral("apcupsd.pid"))};
        profile.daemonImage = daemonName;
        profile.daemonPidFile = path(QStringLiteral("apcupsd.pid"));
        profile.testToolRelativePath = QStringLiteral("/apctest");
        profile.testToolImage = QStringLiteral("vtt") + daemonName.mid(3);
        profile.configFile = path(QStringLiteral("apcupsd.conf"));
        profile.scriptDir = path(QStringLiteral("scripts"));
        profile.powerFailDir = path(QStringLiteral("powerfail"));
        profile.noLoginDir = path(QStringLiteral("nologin"));
        profile.eventsFile = path(QStringLiteral("apcupsd.events"));
        profile.statusFile = path(QStringLiteral("apcupsd.status"));
        profile.configOverrides = {
                {QStringLiteral("UPSCABLE"), QStringLiteral("ether")},
                {QStringLiteral("UPSTYPE"), QStringLiteral("net")},
                {QStringLiteral("DEVICE"),
                 QStringLiteral("127.0.0.1:") + QString::number(simulatorPort)},
                {QStringLiteral("POLLTIME"), QStringLiteral("1")},
                {QStringLiteral("NISIP"), QStringLiteral("127.0.0.1")},
                {QStringLiteral("NISPORT"), QString::number(nisPort)},
                {QStringLiteral("LOCKFILE"), path(QStringLiteral("lock"))},
        };
        profile.waits = testWaits();
        profile.waits.pidFileMs = 30000;
        // The daemon is given the program's time to end after it was asked to.
        profile.waits.stopDaemon = CommandWaits{20000, 20000, 1000, 100};
        return profile;
    }

private slots:
    void initTestCase()
    {
        if (!QFileInfo(QStringLiteral("/sbin/apcupsd")).isExecutable())
            QSKIP("Debian's apcupsd is not installed");
        QVERIFY(dir.isValid());
        QVERIFY(daemonName.size() <= 15); // the kernel's limit for image names
        QVERIFY(QFile::copy(QStringLiteral("/sbin/apcupsd"), path(daemonName)));
        QVERIFY(QFile::setPermissions(path(daemonName),
                                      QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        for (const char *folder : {"scripts", "powerfail", "nologin", "lock"})
            QVERIFY(QDir(dir.path()).mkpath(QString::fromLatin1(folder)));
        // Never the system's apccontrol, which shuts the machine down.
        writeExecutable(path(QStringLiteral("scripts/apccontrol")),
                        "echo \"$*\" >> '" +
                                QFile::encodeName(path(QStringLiteral("apccontrol.log"))) +
                                "'\nexit 0\n");

        simulator.setProgram(QStringLiteral(VOLTRINE_UPSSIM));
        simulator.setArguments({QStringLiteral("--port"), QStringLiteral("0")});
        simulator.start();
        QVERIFY(simulator.waitForStarted(20000));
        QByteArray greeting;
        while (!greeting.contains('\n') && simulator.waitForReadyRead(20000))
            greeting += simulator.readAllStandardOutput();
        simulatorPort = quint16(greeting.mid(greeting.lastIndexOf(':') + 1).trimmed().toUInt());
        QVERIFY2(simulatorPort != 0, greeting.constData());
        nisPort = freeLoopbackPort();
        QVERIFY(nisPort != 0);
    }

    void init()
    {
        traces = std::make_unique<TraceRecorder>();
        otherTraces = std::make_unique<TraceRecorder>();
        registry = std::make_unique<Registry>(otherTraces->log(), path(QStringLiteral("confdata")));
        registry->setKey(QStringLiteral("upshost"), QStringLiteral("127.0.0.1"));
        registry->setKey(QStringLiteral("upsport"), QString::number(nisPort));
        client = std::make_unique<COMThrd>(registry.get(), otherTraces->log());
        control = std::make_unique<ApcUpsdControl>(testProfile(), registry.get(), traces->log(),
                                                   client.get());
    }

    void cleanup()
    {
        control.reset();
        client.reset();
        registry.reset();
        otherTraces.reset();
        traces.reset();
        OrphanReaper::killAll(daemonName);
        QTRY_VERIFY_WITH_TIMEOUT(daemons().isEmpty(), 20000);
        // Killed, the daemon leaves its pid file behind.
        QFile::remove(path(QStringLiteral("apcupsd.pid")));
    }

    void cleanupTestCase()
    {
        if (simulator.state() != QProcess::NotRunning) {
            simulator.kill();
            simulator.waitForFinished(20000);
        }
    }

    void configureStartReadStop()
    {
        control->writeUsbConfig();
        QVERIFY(traces->messages().contains(
                QStringLiteral("Apcupsd USB Configuration file saved")));
        QCOMPARE(traces->messages().last(), QStringLiteral("Starting APC Service (apcupsd)"));
        const QByteArray conf = fileContent(path(QStringLiteral("apcupsd.conf")));
        QVERIFY(conf.contains("\nSCRIPTDIR " + QFile::encodeName(path(QStringLiteral("scripts"))) +
                              '\n'));
        QVERIFY(conf.contains("\nNISIP 127.0.0.1\n"));
        QTRY_VERIFY_WITH_TIMEOUT(daemonPid() != 0, 30000);
        const qint64 pid = daemonPid();

        // The client reads the daemon, which reads the simulator.
        client->start();
        QTRY_VERIFY_WITH_TIMEOUT(
                client->statusValue(QStringLiteral("STATUS")).startsWith(QStringLiteral("ONLINE")),
                30000);

        traces->clear();
        control->startServices();
        QCOMPARE(traces->messages().last(), QStringLiteral("APC Service (apcupsd) running"));
        QCOMPARE(daemonPid(), pid);

        control->stopApcupsd();
        QTRY_VERIFY_WITH_TIMEOUT(daemons().isEmpty(), 30000);
    }

    void selfTestStopsAndRestartsTheDaemonAndTheClient()
    {
        control->writeUsbConfig();
        QTRY_VERIFY_WITH_TIMEOUT(daemonPid() != 0, 30000);
        const qint64 before = daemonPid();
        client->start();
        QTRY_VERIFY_WITH_TIMEOUT(!client->statusValue(QStringLiteral("STATUS")).isEmpty(), 30000);

        // The tool notes whether apcupsd runs while it talks to the UPS.
        writeExecutable(path(QStringLiteral("apctest")),
                        "ps -e -o stat=,comm= | awk '$1 !~ /^Z/ && $2 == \"" + daemonName.toUtf8() +
                                "\"' | grep -q . && echo running > '" +
                                QFile::encodeName(path(QStringLiteral("apctest.saw"))) +
                                "' || echo stopped > '" +
                                QFile::encodeName(path(QStringLiteral("apctest.saw"))) +
                                "'\n"
                                "printf '2)  Perform self-test\\nSelect: '\n"
                                "while read -r line; do\n"
                                "  case \"$line\" in\n"
                                "    2) echo 'Waiting for test to complete'; echo SUCCESS ;;\n"
                                "    Q) exit 0 ;;\n"
                                "  esac\n"
                                "done\n");

        QSignalSpy polled(client.get(), &COMThrd::StatusDataReady);
        QCOMPARE(control->selfTest(true), QStringLiteral("Selftest Success"));
        QCOMPARE(fileContent(path(QStringLiteral("apctest.saw"))), QByteArray("stopped\n"));
        QTRY_VERIFY_WITH_TIMEOUT(daemonPid() != 0 && daemonPid() != before, 30000);
        // Fresh replies from the restarted daemon.
        polled.clear();
        QTRY_VERIFY_WITH_TIMEOUT(polled.count() > 0, 30000);
        QVERIFY(client->isRunning());
    }
};

QTEST_GUILESS_MAIN(TestApcupsdReal)
#include "tst_apcupsdreal.moc"
