// The process sequences with the Linux profile, against the real ps and
// pkill. The daemon and the test tool are copies of sleep under names unique
// to this test, so that nothing else on the machine is ever ended.
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
    OrphanReaper reaper;
    QTemporaryDir dir;
    QString daemonName;
    QString toolName;
    std::unique_ptr<TraceRecorder> traces;
    std::unique_ptr<ServiceControl> control;

    QList<qint64> runningAfterReaping(const QString &name) const
    {
        OrphanReaper::reap({daemonName, toolName});
        return OrphanReaper::running(name);
    }

    void startTool()
    {
        QVERIFY(QProcess::startDetached(dir.filePath(toolName), {QStringLiteral("600")}));
        QTRY_COMPARE_WITH_TIMEOUT(runningAfterReaping(toolName).size(), 1, 20000);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        const QString suffix = QString::number(QCoreApplication::applicationPid());
        daemonName = QStringLiteral("vtd") + suffix;
        toolName = QStringLiteral("vtt") + suffix;
        QVERIFY(daemonName.size() <= 15); // the kernel's limit for image names
        QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), dir.filePath(daemonName)));
        QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), dir.filePath(toolName)));
    }

    void init()
    {
        traces = std::make_unique<TraceRecorder>();
        InstallationProfile profile = InstallationProfile::linuxStandIn();
        profile.apcupsdRoot = dir.path();
        profile.daemonRelativePath = QLatin1Char('/') + daemonName;
        profile.daemonArguments = QStringList{QStringLiteral("600")};
        profile.daemonImage = daemonName;
        profile.testToolImage = toolName;
        profile.waits = testWaits();
        control = std::make_unique<ServiceControl>(profile, traces->log());
    }

    void cleanup()
    {
        OrphanReaper::killAll(daemonName);
        OrphanReaper::killAll(toolName);
        QTRY_VERIFY_WITH_TIMEOUT(runningAfterReaping(daemonName).isEmpty() &&
                                         runningAfterReaping(toolName).isEmpty(),
                                 20000);
    }

    void startsTheDaemonWhenItDoesNotRun()
    {
        control->startServices();
        QCOMPARE(traces->messages().value(3), QStringLiteral("Starting APC Service (apcupsd)"));
        QTRY_COMPARE_WITH_TIMEOUT(runningAfterReaping(daemonName).size(), 1, 20000);
    }

    void leavesARunningDaemonAlone()
    {
        control->startServices();
        QTRY_COMPARE_WITH_TIMEOUT(runningAfterReaping(daemonName).size(), 1, 20000);
        const qint64 pid = runningAfterReaping(daemonName).value(0);
        traces->clear();

        control->startServices();
        const QStringList messages = traces->messages();
        QCOMPARE(messages.size(), 4);
        QVERIFY2(messages.at(2).contains(QStringLiteral("#####") + daemonName +
                                         QStringLiteral("##### | ")),
                 qPrintable(messages.at(2)));
        QCOMPARE(messages.at(3), QStringLiteral("APC Service (apcupsd) running"));
        QCOMPARE(runningAfterReaping(daemonName), QList<qint64>{pid});
    }

    void endsTheTestToolAndRestartsTheDaemon()
    {
        control->startServices();
        QTRY_COMPARE_WITH_TIMEOUT(runningAfterReaping(daemonName).size(), 1, 20000);
        const qint64 before = runningAfterReaping(daemonName).value(0);
        startTool();
        traces->clear();

        control->startServices();
        const QStringList messages = traces->messages();
        QCOMPARE(messages.mid(3),
                 (QStringList{QStringLiteral("Killing apctest"),
                              QStringLiteral("Restarting APC Service (apcupsd)")}));
        QTRY_VERIFY_WITH_TIMEOUT(runningAfterReaping(toolName).isEmpty(), 20000);
        // The old daemon may still be ending beside the new one: wait for the
        // new one alone, not for a count that passes through 1 on the way.
        QTRY_VERIFY_WITH_TIMEOUT(runningAfterReaping(daemonName).size() == 1 &&
                                         !runningAfterReaping(daemonName).contains(before),
                                 20000);
    }

    void testToolWithoutDaemon()
    {
        startTool();
        control->startServices();
        QCOMPARE(traces->messages().mid(3),
                 (QStringList{QStringLiteral("Killing apctest"),
                              QStringLiteral("Starting APC Service (apcupsd)")}));
        QTRY_VERIFY_WITH_TIMEOUT(runningAfterReaping(toolName).isEmpty(), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(runningAfterReaping(daemonName).size(), 1, 20000);
    }

    void stopApcupsdEndsTheDaemon()
    {
        control->startServices();
        QTRY_COMPARE_WITH_TIMEOUT(runningAfterReaping(daemonName).size(), 1, 20000);
        control->stopApcupsd();
        QTRY_VERIFY_WITH_TIMEOUT(runningAfterReaping(daemonName).isEmpty(), 20000);
        QCOMPARE(traces->messages().mid(traces->messages().size() - 2),
                 (QStringList{QStringLiteral("Stopping APC Service (apcupsd)"),
                              QStringLiteral("APC Service (apcupsd) Stoped")}));
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
