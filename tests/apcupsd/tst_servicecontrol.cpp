// The process and service sequences with the Windows installation profile,
// driven against stand-in tasklist, taskkill and net programs and a stand-in
// daemon at the relative path C:/apcupsd/bin/apcupsd.exe.
#include "servicecontrol.h"
#include "standinprograms.h"
#include "tracerecorder.h"

#include <QtTest>

#include <memory>

namespace {

const auto daemonRun = QStringLiteral("C:/apcupsd/bin/apcupsd.exe");

QByteArray tasklistOutput(const QStringList &names)
{
    QByteArray output = "\r\nImage Name                     PID Session Name        Session#    "
                        "Mem Usage\r\n========================= ======== ================ "
                        "=========== ============\r\nSystem Idle Process              0 "
                        "Services                   0          8 K\r\n";
    int pid = 100;
    for (const QString &name : names)
        output += name.toUtf8().leftJustified(25, ' ') + ' ' + QByteArray::number(pid++) +
                " Console                    1     10,000 K\r\n";
    return output;
}

} // namespace

class TestServiceControl : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<StandInPrograms> programs;
    std::unique_ptr<TraceRecorder> traces;

    std::unique_ptr<ServiceControl> makeControl(const QString &root = QStringLiteral("C:/apcupsd"))
    {
        InstallationProfile profile = InstallationProfile::windows();
        profile.apcupsdRoot = root;
        profile.waits = testWaits();
        return std::make_unique<ServiceControl>(profile, traces->log());
    }

private slots:
    void init()
    {
        programs = std::make_unique<StandInPrograms>();
        traces = std::make_unique<TraceRecorder>();
        programs->addWindowsTools();
        programs->addRecorder(daemonRun, "\"$0\"");
    }
    void cleanup()
    {
        traces.reset();
        programs.reset();
    }

    void startServices_data()
    {
        QTest::addColumn<QStringList>("processes");
        QTest::addColumn<QString>("summary");
        QTest::addColumn<QStringList>("decision");
        QTest::addColumn<QStringList>("commands");

        const auto tasklist = QStringLiteral("tasklist");
        const auto starting = QStringLiteral("Starting APC Service (apcupsd)");
        const auto restarting = QStringLiteral("Restarting APC Service (apcupsd)");
        const auto killApcupsd = QStringLiteral("taskkill|/IM|apcupsd.exe");
        const auto killApctest = QStringLiteral("taskkill|/IM|apctest.exe");
        const auto stopData = QStringLiteral("net|stop|APC Data Service");
        const auto stopUps = QStringLiteral("net|stop|APC UPS Service");

        QTest::newRow("apcupsd alone")
                << QStringList{QStringLiteral("smss.exe"), QStringLiteral("apcupsd.exe")}
                << QStringLiteral("\nsmss.exe | #####apcupsd.exe##### | ")
                << QStringList{QStringLiteral("APC Service (apcupsd) running")}
                << QStringList{tasklist};
        QTest::newRow("apctest without apcupsd")
                << QStringList{QStringLiteral("explorer.exe"), QStringLiteral("apctest.exe")}
                << QStringLiteral("\nexplorer.exe | #####apctest.exe##### | ")
                << QStringList{QStringLiteral("Killing apctest"), starting}
                << QStringList{tasklist, killApctest, daemonRun};
        QTest::newRow("dataserv beside apcupsd")
                << QStringList{QStringLiteral("apcupsd.exe"), QStringLiteral("dataserv.exe")}
                << QStringLiteral("\n#####apcupsd.exe##### | #####dataserv.exe##### | ")
                << QStringList{QStringLiteral("closing APC Data Service"), restarting}
                << QStringList{tasklist, stopData, killApcupsd, daemonRun};
        QTest::newRow("every vendor process beside apcupsd")
                << QStringList{QStringLiteral("apctest.exe"), QStringLiteral("mainserv.exe"),
                               QStringLiteral("apcupsd.exe"), QStringLiteral("dataserv.exe")}
                << QStringLiteral("\n#####apctest.exe##### | #####mainserv.exe##### | "
                                  "#####apcupsd.exe##### | #####dataserv.exe##### | ")
                << QStringList{QStringLiteral("closing APC Data Service"),
                               QStringLiteral("closing APC UPS Service"),
                               QStringLiteral("Killing apctest"), restarting}
                << QStringList{tasklist, stopData, stopUps, killApctest, killApcupsd, daemonRun};
        QTest::newRow("vendor UPS service without apcupsd")
                << QStringList{QStringLiteral("mainserv.exe")}
                << QStringLiteral("\n#####mainserv.exe##### | ")
                << QStringList{QStringLiteral("closing APC UPS Service"), starting}
                << QStringList{tasklist, stopUps, daemonRun};
        QTest::newRow("names compared with their case")
                << QStringList{QStringLiteral("Foo.EXE"), QStringLiteral("APCUPSD.EXE"),
                               QStringLiteral("ApcTest.exe")}
                << QStringLiteral("\nFoo.EXE | APCUPSD.EXE | ApcTest.exe | ")
                << QStringList{starting} << QStringList{tasklist, daemonRun};
        QTest::newRow("apcupsd listed twice")
                << QStringList{QStringLiteral("apcupsd.exe"), QStringLiteral("apcupsd.exe")}
                << QStringLiteral("\n#####apcupsd.exe##### | #####apcupsd.exe##### | ")
                << QStringList{QStringLiteral("APC Service (apcupsd) running")}
                << QStringList{tasklist};

        QStringList eleven;
        for (int i = 1; i <= 11; ++i)
            eleven.append(QStringLiteral("p%1.exe").arg(i));
        QTest::newRow("eleven names")
                << eleven
                << QStringLiteral("\np1.exe | p2.exe | p3.exe | p4.exe | p5.exe | "
                                  "\np6.exe | p7.exe | p8.exe | p9.exe | p10.exe | "
                                  "\np11.exe | ")
                << QStringList{starting} << QStringList{tasklist, daemonRun};
        QTest::newRow("nothing listed") << QStringList() << QString() << QStringList{starting}
                                        << QStringList{tasklist, daemonRun};
    }

    void startServices()
    {
        QFETCH(QStringList, processes);
        QFETCH(QString, summary);
        QFETCH(QStringList, decision);
        QFETCH(QStringList, commands);

        programs->setTasklistOutput(tasklistOutput(processes));
        auto control = makeControl();
        QCOMPARE(control->processList(), processes);
        programs->clearCommands();
        traces->clear();

        control->startServices();

        const QStringList expectedTraces = QStringList{QStringLiteral("Starting apcupsd services"),
                                                       QStringLiteral("Reading process list"),
                                                       QStringLiteral("Process list ") + summary} +
                decision;
        QCOMPARE(traces->messages(), expectedTraces);
        // The daemon is started detached: its record may come a little later.
        QTRY_COMPARE_WITH_TIMEOUT(programs->commands().size(), commands.size(), 20000);
        QCOMPARE(programs->commands(), commands);
    }

    void rootSpellingsStartTheSameDaemon_data()
    {
        QTest::addColumn<QString>("root");
        QTest::newRow("backslashes") << QStringLiteral("C:\\apcupsd");
        QTest::newRow("trailing slash") << QStringLiteral("C:/apcupsd/");
        QTest::newRow("trailing backslash") << QStringLiteral("C:\\apcupsd\\");
    }

    void rootSpellingsStartTheSameDaemon()
    {
        QFETCH(QString, root);
        makeControl(root)->startServices();
        QTRY_COMPARE_WITH_TIMEOUT(programs->commands(),
                                  (QStringList{QStringLiteral("tasklist"), daemonRun}), 20000);
    }

    void tasklistMissingStartsTheDaemon()
    {
        QVERIFY(QFile::remove(programs->binDir() + QStringLiteral("/tasklist")));
        auto control = makeControl();
        control->startServices();
        QCOMPARE(traces->messages().value(2), QStringLiteral("Process list "));
        QCOMPARE(traces->messages().value(3), QStringLiteral("Starting APC Service (apcupsd)"));
        QTRY_COMPARE_WITH_TIMEOUT(programs->commands(), QStringList{daemonRun}, 20000);
    }

    void stopApcupsdAsksTaskkill()
    {
        makeControl()->stopApcupsd();
        QCOMPARE(traces->messages(),
                 (QStringList{QStringLiteral("Stopping APC Service (apcupsd)"),
                              QStringLiteral("APC Service (apcupsd) Stoped")}));
        QCOMPARE(programs->commands(), QStringList{QStringLiteral("taskkill|/IM|apcupsd.exe")});
    }

    void hangingCommandIsEndedAndTheSequenceGoesOn()
    {
        // A taskkill that never ends is given up after its waits and ended.
        const QString hanging =
                QStringLiteral("vth") + QString::number(QCoreApplication::applicationPid());
        QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"),
                            programs->binDir() + QLatin1Char('/') + hanging));
        programs->writeScript(QStringLiteral("bin/taskkill"),
                              "exec " + hanging.toUtf8() + " 600\n");
        InstallationProfile profile = InstallationProfile::windows();
        profile.waits = testWaits();
        profile.waits.stopDaemon = CommandWaits{20000, 300, 0, 0};
        ServiceControl control(profile, traces->log());
        control.stopApcupsd();
        QCOMPARE(traces->messages().value(1), QStringLiteral("APC Service (apcupsd) Stoped"));
        QVERIFY(OrphanReaper::running(hanging).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestServiceControl)
#include "tst_servicecontrol.moc"
