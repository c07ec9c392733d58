// The local apcupsd administered as the user (Linux): through a systemctl
// stand-in that records its calls and answers like the real one, and
// apcupsd.conf written by the real helper behind a pkexec stand-in that
// records the command it was given. PID 1 here is not systemd.
#include "servicecontrol.h"
#include "standinprograms.h"
#include "tracerecorder.h"

#include <QtTest>

#include <memory>

namespace {

const auto unit = QStringLiteral("apcupsd.service");

} // namespace

class TestSystemdControl : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<StandInPrograms> programs;
    std::unique_ptr<TraceRecorder> traces;

    // Where the pkexec stand-in has the helper write.
    QString helperTarget() const { return programs->filePath(QStringLiteral("etc/apcupsd.conf")); }

    std::unique_ptr<ServiceControl> makeControl(const QString &mode, const QString &host)
    {
        InstallationProfile profile = InstallationProfile::linuxStandIn();
        profile.administrator = false;
        // Not writable from here: the program has to go through the helper.
        profile.configFile = programs->filePath(QStringLiteral("absent/apcupsd.conf"));
        profile.waits = testWaits();
        profile.waits.systemctlMs = 20000;
        profile.waits.configHelperMs = 20000;
        if (mode == QLatin1String("systemd")) {
            profile.daemonControl = InstallationProfile::DaemonControl::Systemd;
            profile.systemctlProgram = programs->filePath(QStringLiteral("bin/systemctl"));
            profile.configHelper = QStringList{programs->filePath(QStringLiteral("bin/pkexec")),
                                               QStringLiteral(VOLTRINE_CONF_HELPER)};
        } else {
            profile.daemonControl = InstallationProfile::DaemonControl::Unmanaged;
        }
        auto control = std::make_unique<ServiceControl>(profile, traces->log());
        control->setWatchedHost([host] { return host; });
        return control;
    }

private slots:
    void init()
    {
        programs = std::make_unique<StandInPrograms>();
        traces = std::make_unique<TraceRecorder>();
        QVERIFY(QDir(programs->path()).mkpath(QStringLiteral("etc")));
        programs->addSystemctl();
        // As pkexec would, after the user's authorisation, but on the test's file.
        programs->addPkexec(helperTarget());
    }

    void cleanup()
    {
        traces.reset();
        programs.reset();
    }

    void administration_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("situation"); // a file: "state" holding "active", "refuse",
                                                // "password", "dismiss", "noagent"
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QStringList>("commands");
        QTest::addColumn<QString>("lastTrace");
        QTest::addColumn<QString>("problem");

        const QString isActive = "systemctl|is-active|" + unit;
        // A start that the user did not ask for never asks for a password.
        const QString start = "systemctl|--no-ask-password|start|" + unit;
        const QString helper = "pkexec|" + QStringLiteral(VOLTRINE_CONF_HELPER);
        const QString dismissed = "the change was not authorised: the password dialog was "
                                  "dismissed, or the password was not accepted. Save again to "
                                  "try once more.";
        const QString noAgent = "no administrator's password could be asked for: no polkit "
                                "authentication agent runs in this session. Save again from a "
                                "desktop session, or change the file as root.";
        const QString userNeedsRights = "The local apcupsd is left as it is: starting and "
                                        "stopping it needs administrator rights";

        QTest::newRow("start") << "systemd"
                               << "localhost"
                               << ""
                               << "start" << QStringList{isActive, start}
                               << "Starting APC Service (apcupsd)"
                               << "";
        QTest::newRow("already active")
                << "systemd"
                << "127.0.0.1"
                << "active"
                << "start" << QStringList{isActive} << "APC Service (apcupsd) running"
                << "";
        QTest::newRow("start refused")
                << "systemd"
                << "::1"
                << "refuse"
                << "start" << QStringList{isActive, start}
                << "Can not start apcupsd through systemd: Failed to start apcupsd.service: "
                   "Access denied"
                << "";
        QTest::newRow("start that needs a password")
                << "systemd"
                << "localhost"
                << "password"
                << "start" << QStringList{isActive, start}
                << "Can not start apcupsd through systemd: Failed to start apcupsd.service: "
                   "Interactive authentication required."
                << "";
        QTest::newRow("start the user asked for")
                << "systemd"
                << "localhost"
                << "password"
                << "asked start" << QStringList{isActive, "systemctl|start|" + unit}
                << "Starting APC Service (apcupsd)"
                << "";
        QTest::newRow("other machine")
                << "systemd"
                << "nas.example"
                << ""
                << "start" << QStringList()
                << "APC Server nas.example is another machine: the local apcupsd is left as it "
                   "is"
                << "";
        QTest::newRow("this machine by name")
                << "systemd" << QSysInfo::machineHostName() << ""
                << "start" << QStringList{isActive, start} << "Starting APC Service (apcupsd)"
                << "";
        QTest::newRow("stop") << "systemd"
                              << "localhost"
                              << "active"
                              << "stop" << QStringList{"systemctl|stop|" + unit}
                              << "APC Service (apcupsd) Stoped"
                              << "";
        QTest::newRow("USB save") << "systemd"
                                  << "localhost"
                                  << ""
                                  << "usb"
                                  << QStringList{helper + "|usb", "systemctl|restart|" + unit}
                                  << "Restarting APC Service (apcupsd)"
                                  << "";
        QTest::newRow("serial save for another machine")
                << "systemd"
                << "nas.example"
                << ""
                << "ttyUSB0"
                << QStringList{helper + "|rs232|ttyUSB0", "systemctl|try-restart|" + unit}
                << "Restarting APC Service (apcupsd)"
                << "";
        QTest::newRow("save dismissed")
                << "systemd"
                << "localhost"
                << "dismiss"
                << "usb" << QStringList{helper + "|usb"}
                << "Can not save Apcupsd USB Configuration file: " + dismissed
                << "apcupsd.conf was not changed: " + dismissed;
        QTest::newRow("save with no authentication agent")
                << "systemd"
                << "localhost"
                << "noagent"
                << "usb" << QStringList{helper + "|usb"}
                << "Can not save Apcupsd USB Configuration file: " + noAgent
                << "apcupsd.conf was not changed: " + noAgent;
        QTest::newRow("restart refused")
                << "systemd"
                << "localhost"
                << "refuse"
                << "usb" << QStringList{helper + "|usb", "systemctl|restart|" + unit}
                << "Can not restart apcupsd through systemd: Failed to restart apcupsd.service: "
                   "Access denied"
                << "apcupsd.conf was saved, but apcupsd was not restarted to read it: Failed to "
                   "restart apcupsd.service: Access denied";
        QTest::newRow("user without systemd: start")
                << "unmanaged"
                << "localhost"
                << ""
                << "start" << QStringList() << userNeedsRights << "";
        QTest::newRow("user without systemd: save")
                << "unmanaged"
                << "localhost"
                << ""
                << "usb" << QStringList()
                << "Can not open Apcupsd USB Configuration file: changing it needs administrator "
                   "rights"
                << "Changing the UPS connection needs administrator rights: %1 can only be "
                   "changed by root here.";
    }

    void administration()
    {
        QFETCH(QString, mode);
        QFETCH(QString, host);
        QFETCH(QString, situation);
        QFETCH(QString, operation);
        QFETCH(QStringList, commands);
        QFETCH(QString, lastTrace);
        QFETCH(QString, problem);

        if (situation == QLatin1String("active"))
            writeFileContent(programs->filePath(QStringLiteral("state")), "active\n");
        else if (!situation.isEmpty())
            writeFileContent(programs->filePath(situation), "");
        auto control = makeControl(mode, host);
        QCOMPARE(control->configNeedsAdministrator(), mode == QLatin1String("unmanaged"));

        if (operation == QLatin1String("start"))
            control->startServices();
        else if (operation == QLatin1String("asked start"))
            control->startServices(ServiceControl::Prompt::Allowed);
        else if (operation == QLatin1String("stop"))
            control->stopApcupsd();
        else if (operation == QLatin1String("usb"))
            control->writeUsbConfig();
        else
            control->writeComConfig(operation);

        QCOMPARE(programs->commands(), commands);
        QCOMPARE(traces->messages().value(traces->messages().size() - 1), lastTrace);
        // Told to the user where a start left it stopped.
        QCOMPARE(control->daemonNotRunning().isEmpty(),
                 !lastTrace.startsWith(QLatin1String("Can not start")));
        QCOMPARE(control->configProblem(),
                 problem.contains(QLatin1String("%1"))
                         ? problem.arg(programs->filePath(QStringLiteral("absent/apcupsd.conf")))
                         : problem);
        // The helper wrote the file only when pkexec could let it run.
        const bool written = commands.value(0).startsWith(QLatin1String("pkexec")) &&
                situation != QLatin1String("dismiss") && situation != QLatin1String("noagent");
        QCOMPARE(fileContent(helperTarget()).startsWith("## apcupsd.conf v1.1 ##\n#UPSNAME\n"),
                 written);
    }
};

QTEST_GUILESS_MAIN(TestSystemdControl)
#include "tst_systemdcontrol.moc"
