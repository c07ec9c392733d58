// The daemon started directly (Linux, root, no service manager), against the
// real ps and real processes. The daemon is a script that starts a copy of
// sleep under a name unique to this test and writes its pid file, as apcupsd
// does when it makes itself a daemon. Only a daemon the control started may
// ever be stopped; nothing is ended by its name.
#include "orphanreaper.h"
#include "servicecontrol.h"
#include "standinprograms.h"
#include "tracerecorder.h"

#include <QtTest>

#include <memory>

class TestLinuxProcesses : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString daemonName;
    OrphanReaper reaper;
    std::unique_ptr<TraceRecorder> traces;
    std::unique_ptr<ServiceControl> control;

    QString pidFile() const { return dir.filePath(QStringLiteral("apcupsd.pid")); }

    QList<qint64> running() const
    {
        OrphanReaper::reap({daemonName});
        return OrphanReaper::running(daemonName);
    }

    // A daemon that the control did not start, named in the pid file.
    qint64 startForeignDaemon()
    {
        qint64 pid = 0;
        if (!QProcess::startDetached(dir.filePath(daemonName), {QStringLiteral("600")}, QString(),
                                     &pid))
            return 0;
        writeFileContent(pidFile(), QByteArray::number(pid) + '\n');
        return pid;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        daemonName = QStringLiteral("vtd") + QString::number(QCoreApplication::applicationPid());
        QVERIFY(daemonName.size() <= 15); // the kernel's limit for image names
        QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), dir.filePath(daemonName)));
        writeExecutable(dir.filePath(QStringLiteral("start-daemon")),
                        "'" + QFile::encodeName(dir.filePath(daemonName)) + "' 600 &\necho $! > '" +
                                QFile::encodeName(pidFile()) + "'\n");
    }

    void init()
    {
        traces = std::make_unique<TraceRecorder>();
        InstallationProfile profile = InstallationProfile::linuxStandIn();
        profile.apcupsdRoot = dir.path();
        profile.daemonRelativePath = QStringLiteral("/start-daemon");
        profile.daemonImage = daemonName;
        profile.daemonPidFile = pidFile();
        profile.configFile = dir.filePath(QStringLiteral("apcupsd.conf"));
        profile.waits = testWaits();
        profile.waits.pidFileMs = 20000;
        control = std::make_unique<ServiceControl>(profile, traces->log());
    }

    void cleanup()
    {
        control.reset();
        OrphanReaper::killAll(daemonName);
        QTRY_VERIFY_WITH_TIMEOUT(running().isEmpty(), 20000);
        QFile::remove(pidFile());
    }

    void startsTheDaemonAndStopsIt()
    {
        control->startServices();
        QCOMPARE(traces->messages().value(3), QStringLiteral("Starting APC Service (apcupsd)"));
        const QList<qint64> started = running();
        QCOMPARE(started.size(), 1);
        QCOMPARE(started.first(), fileContent(pidFile()).trimmed().toLongLong());

        traces->clear();
        control->stopApcupsd();
        QCOMPARE(traces->messages(),
                 (QStringList{QStringLiteral("Stopping APC Service (apcupsd)"),
                              QStringLiteral("APC Service (apcupsd) Stoped")}));
        QVERIFY(running().isEmpty());
    }

    void leavesARunningDaemonAlone()
    {
        control->startServices();
        const QList<qint64> before = running();
        QCOMPARE(before.size(), 1);
        traces->clear();

        control->startServices();
        const QStringList messages = traces->messages();
        QCOMPARE(messages.size(), 4);
        QVERIFY2(messages.at(2).contains(QStringLiteral("#####") + daemonName +
                                         QStringLiteral("##### | ")),
                 qPrintable(messages.at(2)));
        QCOMPARE(messages.at(3), QStringLiteral("APC Service (apcupsd) running"));
        QCOMPARE(running(), before);
    }

    // Every operation, with a daemon running that the control did not start
    // and whose pid the pid file names: it keeps running, unsignalled (sleep
    // ends on every signal that asks a program to end).
    void neverSignalsADaemonItDidNotStart_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("said");
        const auto leftRunning =
                QStringLiteral("APC Service (apcupsd) was not started by Voltrine: it is left "
                               "running");
        QTest::newRow("monitoring start")
                << QStringLiteral("start") << QStringLiteral("APC Service (apcupsd) running");
        QTest::newRow("stop") << QStringLiteral("stop") << leftRunning;
        QTest::newRow("USB save") << QStringLiteral("usb") << leftRunning;
        QTest::newRow("self-test") << QStringLiteral("selftest") << leftRunning;
    }

    void neverSignalsADaemonItDidNotStart()
    {
        QFETCH(QString, operation);
        QFETCH(QString, said);
        const qint64 foreign = startForeignDaemon();
        QVERIFY(foreign > 0);
        QTRY_COMPARE_WITH_TIMEOUT(running(), QList<qint64>{foreign}, 20000);

        if (operation == QLatin1String("start"))
            control->startServices();
        else if (operation == QLatin1String("stop"))
            control->stopApcupsd();
        else if (operation == QLatin1String("usb"))
            control->writeUsbConfig();
        else
            control->selfTestDialogue();

        QVERIFY2(traces->messages().contains(said), qPrintable(traces->messages().join('\n')));
        QCOMPARE(running(), QList<qint64>{foreign});
        if (operation == QLatin1String("usb")) {
            QVERIFY(fileContent(dir.filePath(QStringLiteral("apcupsd.conf")))
                            .startsWith("## apcupsd.conf v1.1 ##\n#UPSNAME\n"));
            QCOMPARE(control->configProblem(),
                     QStringLiteral("apcupsd.conf was saved. The running apcupsd was not "
                                    "started by Voltrine: restart it to read the new file."));
        }
    }

    // A save while monitoring watches another machine restarts the daemon
    // that the control started, and starts none where none ran.
    void saveWhileWatchingAnotherMachine_data()
    {
        QTest::addColumn<bool>("startedBefore");
        QTest::newRow("daemon started before") << true;
        QTest::newRow("no daemon") << false;
    }

    void saveWhileWatchingAnotherMachine()
    {
        QFETCH(bool, startedBefore);
        control->setWatchedHost([] { return QStringLiteral("localhost"); });
        if (startedBefore)
            control->startServices();
        const QList<qint64> before = running();
        QCOMPARE(before.size(), startedBefore ? 1 : 0);

        control->setWatchedHost([] { return QStringLiteral("nas.example"); });
        control->writeUsbConfig();
        QVERIFY(control->configProblem().isEmpty());
        const QList<qint64> after = running();
        QCOMPARE(after.size(), before.size());
        if (startedBefore)
            QVERIFY(after.first() != before.first());
    }

    void processListShowsThisProcess()
    {
        QFile self(QStringLiteral("/proc/self/comm"));
        QVERIFY(self.open(QIODevice::ReadOnly));
        const QString ownName = QString::fromUtf8(self.readAll()).trimmed();
        const QStringList processes = control->processList();
        QVERIFY2(processes.contains(ownName), qPrintable(ownName));
        for (const QString &name : processes)
            QVERIFY2(!name.isEmpty() && name == name.trimmed(), qPrintable(name));
    }
};

QTEST_GUILESS_MAIN(TestLinuxProcesses)
#include "tst_linuxprocesses.moc"
