#include "testfiles.h"
#include "testmariadb.h"
#include "upssimulator.h"

#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <pwd.h>
#include <unistd.h>

// Voltrine.exe, the Windows program, under Wine on a virtual display with a
// window manager and no tray host, so that Wine shows its own tray window.
// It reads its database settings and machine number from the registry, polls
// the UPS simulator, writes rows through Wine's odbc32 (which hands them to
// the host's unixODBC and MariaDB's driver) to the tests' server, and drives
// the process and service commands of Windows. Wine's tasklist lists
// nothing and its net cannot stop a service, so programs of the test's own
// (tests/support/standin-win.c) stand in for them: in the program's working
// folder, which Windows searches before its system folder. Everything it can
// start is a Windows program of this prefix, so nothing reaches the
// machine's apcupsd.
class TestWine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void startsAndControlsServices_data();
    void startsAndControlsServices();
    void registryReadAndWritten();
    void trayFollowsPower_data();
    void trayFollowsPower();
    void windowShownFromTray();
    void filesInTheirFormats();
    void installsAndUninstalls();

private:
    QString work(const QString &name) const { return workDir.filePath(name); }
    QProcessEnvironment wineEnvironment() const;
    QByteArray wine(const QStringList &arguments, int *exitCode = nullptr);
    QByteArray runTool(const QString &program, const QStringList &arguments);
    void startProgram();
    void endWine();
    QByteArray trace() const { return readFileBytes(work(QStringLiteral("Trace.log"))); }
    QString registryValue(const QString &key, const QString &name);
    QString trayWindow();
    QString trayColour();
    QStringList query(const QString &statement) { return server.query(statement, schema); }

    const QString exe = qEnvironmentVariable("VOLTRINE_WINDOWS_EXE");
    const QString setup = qEnvironmentVariable("VOLTRINE_WINDOWS_SETUP");
    const QString wine64 = QStringLiteral(VOLTRINE_WINE64);
    const QString prefix = QStringLiteral(VOLTRINE_WINE_PREFIX);
    const QString schema = QStringLiteral("winetest");
    const QString machineNumber = QStringLiteral("WIN22");
    TestMariaDb server;
    UpsSimulator simulator;
    QTemporaryDir workDir;
    std::unique_ptr<QProcess> program;
    int starts = 0;
};

void TestWine::initTestCase()
{
    if (exe.isEmpty() || !QFile::exists(exe))
        QSKIP("no Voltrine.exe (scripts/build-windows makes it; VOLTRINE_WINDOWS_EXE names it)");
    if (wine64.isEmpty() || !QFile::exists(wine64))
        QSKIP("wine64 is not installed (scripts/install-deps windows)");
    if (QStringLiteral(VOLTRINE_STANDIN_EXE).isEmpty())
        QSKIP("no cross compiler for the stand-in programs (scripts/install-deps windows)");
    if (qEnvironmentVariable("VOLTRINE_TEST_DESKTOP") != QLatin1String("1"))
        QSKIP(qPrintable(qEnvironmentVariable("VOLTRINE_TEST_DESKTOP")));
    QVERIFY2(QFile::exists(prefix + QStringLiteral("/voltrine-prefix-ready")),
             "the Wine prefix was not made (the wine_prefix test makes it)");
    QVERIFY2(server.isValid(), qPrintable(server.errorString()));
    QVERIFY(server.createSchema(schema));
    QVERIFY(workDir.isValid());
    QVERIFY(simulator.listen());
    QVERIFY(simulator.execute(QStringLiteral("set MODEL Back-UPS ES 700G")));

    // Whatever an interrupted run left in the prefix ends first.
    endWine();
    int exitCode = 0;
    wine({QStringLiteral("reg"), QStringLiteral("delete"), QStringLiteral("HKCU\\Brindlecast"),
          QStringLiteral("/f")},
         &exitCode);
    const QList<QStringList> values = {
            {QStringLiteral("LoggingDatabase"), QStringLiteral("hostname"), server.host()},
            {QStringLiteral("LoggingDatabase"), QStringLiteral("port"),
             QString::number(server.port())},
            {QStringLiteral("LoggingDatabase"), QStringLiteral("dbname"), schema},
            {QStringLiteral("LoggingDatabase"), QStringLiteral("drivername"),
             QStringLiteral("MySQL ODBC 5.3 Unicode Driver")},
            {QStringLiteral("LoggingDatabase"), QStringLiteral("username"), server.user()},
            {QStringLiteral("LoggingDatabase"), QStringLiteral("password"), server.password()},
            {QStringLiteral("Administration"), QStringLiteral("MachineNumber"), machineNumber},
    };
    for (const QStringList &value : values) {
        wine({QStringLiteral("reg"), QStringLiteral("add"),
              QStringLiteral("HKEY_CURRENT_USER\\Brindlecast\\") + value[0], QStringLiteral("/v"),
              value[1], QStringLiteral("/d"), value[2], QStringLiteral("/f")},
             &exitCode);
        QCOMPARE(exitCode, 0);
    }

    // The dialog font of Windows is Tahoma, which Debian's fonts-wine has and
    // Debian's Wine does not find by itself; without it the form is drawn in
    // a serif font.
    for (const char *font : {"tahoma.ttf", "tahomabd.ttf"}) {
        const QString installed =
                prefix + QStringLiteral("/drive_c/windows/Fonts/") + QLatin1String(font);
        if (!QFile::exists(installed))
            QFile::copy(QStringLiteral("/usr/share/wine/fonts/") + QLatin1String(font), installed);
    }
    for (const char *name : {"tasklist.exe", "taskkill.exe", "net.exe"})
        QVERIFY(QFile::copy(QStringLiteral(VOLTRINE_STANDIN_EXE), work(QLatin1String(name))));
    const QString daemon = prefix + QStringLiteral("/drive_c/apcupsd/bin/apcupsd.exe");
    QVERIFY(QDir().mkpath(QFileInfo(daemon).path()));
    QFile::remove(daemon);
    QVERIFY(QFile::copy(QStringLiteral(VOLTRINE_STANDIN_EXE), daemon));
    // The window starts in the tray, as the program's default has it.
    QVERIFY(writeFileBytes(work(QStringLiteral("confdata")),
                           "Voltrine:Configuration\r\nVersion:1.1\r\nUPSHOST:127.0.0.1\r\n"
                           "UPSPORT:" +
                                   QByteArray::number(simulator.port()) + "\r\n"));
}

void TestWine::cleanupTestCase()
{
    endWine();
}

void TestWine::startsAndControlsServices_data()
{
    QTest::addColumn<QByteArray>("running");
    QTest::addColumn<QByteArray>("commands");

    const QByteArray header =
            "\r\nImage Name                     PID Session Name        Session#    "
            "Mem Usage\r\n========================= ======== ================ "
            "=========== ============\r\nSystem Idle Process              0 "
            "Services                   0          8 K\r\n";
    QTest::newRow("vendor services, apctest and the daemon run")
            << header +
                    "dataserv.exe                  1804 Services                   0      9,412 "
                    "K\r\n"
                    "mainserv.exe                  1812 Services                   0     12,100 "
                    "K\r\n"
                    "apcupsd.exe                   2044 Services                   0      3,208 "
                    "K\r\n"
                    "apctest.exe                   3120 Console                    1      2,880 "
                    "K\r\n"
                    "explorer.exe                  4420 Console                    1     61,212 "
                    "K\r\n"
            << QByteArray("tasklist\r\nnet|stop|APC Data Service\r\nnet|stop|APC UPS Service\r\n"
                          "taskkill|/IM|apctest.exe\r\ntaskkill|/IM|apcupsd.exe\r\napcupsd\r\n");
    // The program before was killed with its Wine; its lock file names the
    // process number that Wine gives this start again.
    QTest::newRow("killed, started again in the same folder; the daemon runs") << header +
                    "apcupsd.exe                   2044 Services                   0      3,208 "
                    "K\r\n" << QByteArray("tasklist\r\n");
}

void TestWine::startsAndControlsServices()
{
    QFETCH(QByteArray, running);
    QFETCH(QByteArray, commands);
    endWine();
    QVERIFY(writeFileBytes(work(QStringLiteral("tasklist.txt")), running));
    QFile::remove(work(QStringLiteral("commands.log")));
    startProgram();
    QTRY_COMPARE_WITH_TIMEOUT(trace().count("]: Monitoring Started"), starts, 120000);
    QCOMPARE(readFileBytes(work(QStringLiteral("commands.log"))), commands);
    QTRY_VERIFY_WITH_TIMEOUT(trace().count("]: Status client connected to 127.0.0.1:") == starts,
                             60000);
    QCOMPARE(program->state(), QProcess::Running);
}

void TestWine::registryReadAndWritten()
{
    QVERIFY(program);
    QTRY_COMPARE_WITH_TIMEOUT(
            registryValue(QStringLiteral("Hardware"), QStringLiteral("UPSStatus")),
            QStringLiteral("ONLINE"), 60000);
    QTRY_VERIFY_WITH_TIMEOUT(!query(QStringLiteral("SELECT mcid FROM upsmeasurements")).isEmpty(),
                             60000);
    QCOMPARE(query(QStringLiteral("SELECT DISTINCT mcid FROM upsmeasurements")),
             QStringList{machineNumber});
    QCOMPARE(query(QStringLiteral("SELECT DISTINCT status FROM upsmeasurements")),
             QStringList{QStringLiteral("ONLINE")});
    QTRY_VERIFY_WITH_TIMEOUT(!query(QStringLiteral("SELECT mcid FROM upsevents")).isEmpty(), 60000);
    QCOMPARE(query(QStringLiteral("SELECT DISTINCT mcid FROM upsevents")),
             QStringList{machineNumber});
}

void TestWine::trayFollowsPower_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("colour");
    QTest::addColumn<QString>("event");

    QTest::newRow("power fails") << "powerfail"
                                 << "ONBATT"
                                 << "red"
                                 << "Power failure.";
    QTest::newRow("power returns") << "powerback"
                                   << "ONLINE"
                                   << "green"
                                   << "Power is back. UPS running on mains.";
}

void TestWine::trayFollowsPower()
{
    QFETCH(QString, command);
    QFETCH(QString, status);
    QFETCH(QString, colour);
    QFETCH(QString, event);
    QVERIFY(program);
    QVERIFY(simulator.execute(command));
    QTRY_COMPARE_WITH_TIMEOUT(
            registryValue(QStringLiteral("Hardware"), QStringLiteral("UPSStatus")), status, 60000);
    QTRY_COMPARE_WITH_TIMEOUT(trayColour(), colour, 30000);
    QTRY_COMPARE_WITH_TIMEOUT(
            query(QStringLiteral("SELECT status FROM upsmeasurements ORDER BY id DESC LIMIT 1")),
            QStringList{status}, 60000);
    const QString withMessage =
            QStringLiteral("SELECT mcid FROM upsevents WHERE message LIKE '%%1'").arg(event);
    QTRY_COMPARE_WITH_TIMEOUT(query(withMessage), QStringList{machineNumber}, 60000);
    // Both runs read the same event lines: each row is stored once.
    QCOMPARE(query(QStringLiteral("SELECT COUNT(*) FROM (SELECT message FROM upsevents GROUP BY "
                                  "message, startdate HAVING COUNT(*) > 1) AS twice")),
             QStringList{QStringLiteral("0")});
}

void TestWine::windowShownFromTray()
{
    QVERIFY(program);
    const QStringList findWindow = {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                    QStringLiteral("--name"), QStringLiteral("^Voltrine v ")};
    QCOMPARE(runTool(QStringLiteral("xdotool"), findWindow), QByteArray());
    const QString tray = trayWindow();
    QVERIFY(!tray.isEmpty());
    runTool(QStringLiteral("xdotool"),
            {QStringLiteral("mousemove"), QStringLiteral("--window"), tray, QStringLiteral("10"),
             QStringLiteral("10"), QStringLiteral("click"), QStringLiteral("--repeat"),
             QStringLiteral("2"), QStringLiteral("--delay"), QStringLiteral("100"),
             QStringLiteral("1")});
    QTRY_VERIFY_WITH_TIMEOUT(!runTool(QStringLiteral("xdotool"), findWindow).isEmpty(), 30000);
    // The picture of the README, once the window has been painted and the
    // balloon of the last change (a window of Wine's explorer beside its
    // tray window) has gone.
    runTool(QStringLiteral("xdotool"),
            {QStringLiteral("mousemove"), QStringLiteral("0"), QStringLiteral("400")});
    QTest::qWait(1000);
    const QStringList explorerWindows = {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                         QStringLiteral("--class"), QStringLiteral("explorer.exe")};
    // Only the picture depends on it.
    (void)QTest::qWaitFor(
            [&] { return runTool(QStringLiteral("xdotool"), explorerWindows).count('\n') <= 1; },
            20000);
    const QString picture = QDir(QStringLiteral(VOLTRINE_TEST_OUTPUT))
                                    .filePath(QStringLiteral("voltrine-under-wine.png"));
    QFile::remove(picture);
    runTool(QStringLiteral("import"), {QStringLiteral("-window"), QStringLiteral("root"), picture});
    QVERIFY(QFile::exists(picture));
}

void TestWine::filesInTheirFormats()
{
    QVERIFY(program);
    const QByteArray expected =
            "Voltrine:Configuration\r\nVersion:1.1\r\nUPSHOST:127.0.0.1\r\nUPSPORT:" +
            QByteArray::number(simulator.port()) +
            "\r\nUPSCONTYPE:USB\r\nUSPCOMPORT:NA\r\nDBHOST:" + server.host().toLatin1() +
            "\r\nDBPORT:" + QByteArray::number(server.port()) + "\r\nDBNAME:" + schema.toLatin1() +
            "\r\nDBVDRIVER:5.3\r\nDBUSER:" + server.user().toLatin1() +
            "\r\nDBPASSWD:" + server.password().toLatin1().toHex() +
            "\r\nDBLOGTIME:600000\r\nSTARTMINIMISED:true\r\n";
    QCOMPARE(readFileBytes(work(QStringLiteral("confdata"))), expected);

    // Two runs: each begins with two line breaks and its banner, each record
    // with a line break; a record's own line breaks carry no prefix. Every
    // line break is CR LF, and none ends the file.
    const QString stamp = QStringLiteral("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d");
    const QRegularExpression run(
            QStringLiteral("\r\n\r\nVoltrine Version 1\\.1 Log session started %1"
                           "(\r\nLog:\\[%1\\]: [^\r\n]*(\r\n(?!Log:\\[)[^\r\n]+)*)+")
                    .arg(stamp));
    const QRegularExpression wholeLog(
            QStringLiteral("\\A(%1){%2}\\z").arg(run.pattern()).arg(starts));
    const QByteArray log = trace();
    QVERIFY2(wholeLog.match(QString::fromLatin1(log)).hasMatch(), log.left(400).constData());
    QCOMPARE(log.count("\r\n"), log.count('\n'));
}

void TestWine::installsAndUninstalls()
{
    if (setup.isEmpty())
        QSKIP("no installer (scripts/package-windows makes it; VOLTRINE_WINDOWS_SETUP names it)");
    // Wine names the profile after the account, not after $USER.
    const passwd *account = getpwuid(getuid());
    QVERIFY(account);
    const QString user =
            prefix + QStringLiteral("/drive_c/users/") + QString::fromLocal8Bit(account->pw_name);
    const QString folder = user + QStringLiteral("/AppData/Local/Programs/Voltrine/");
    const QString menu = user +
            QStringLiteral("/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Voltrine/");
    QDir(folder).removeRecursively();
    int exitCode = -1;
    wine({setup, QStringLiteral("/S")}, &exitCode);
    QCOMPARE(exitCode, 0);
    QCOMPARE(readFileBytes(folder + QStringLiteral("Voltrine.exe")).size() > 0, true);
    QVERIFY(QFile::exists(folder + QStringLiteral("Uninstall.exe")));
    QVERIFY(QFile::exists(menu + QStringLiteral("Voltrine.lnk")));
    QVERIFY(QFile::exists(menu + QStringLiteral("Uninstall Voltrine.lnk")));
    const QString uninstallKey = QStringLiteral(
            "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Voltrine");
    QVERIFY(wine({QStringLiteral("reg"), QStringLiteral("query"), uninstallKey,
                  QStringLiteral("/v"), QStringLiteral("UninstallString")})
                    .contains("Uninstall.exe"));

    // What the program kept in its folder is the user's, and stays.
    QVERIFY(writeFileBytes(folder + QStringLiteral("confdata"), "Voltrine:Configuration\r\n"));
    wine({folder + QStringLiteral("Uninstall.exe"), QStringLiteral("/S")}, &exitCode);
    QCOMPARE(exitCode, 0);
    // The uninstaller goes on from a copy of itself.
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(folder + QStringLiteral("Uninstall.exe")), 60000);
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(menu), 60000);
    QVERIFY(!QFile::exists(folder + QStringLiteral("Voltrine.exe")));
    QCOMPARE(readFileBytes(folder + QStringLiteral("confdata")),
             QByteArray("Voltrine:Configuration\r\n"));
    int queried = 0;
    wine({QStringLiteral("reg"), QStringLiteral("query"), uninstallKey}, &queried);
    QVERIFY(queried != 0);
}

QProcessEnvironment TestWine::wineEnvironment() const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("WINEPREFIX"), prefix);
    environment.insert(QStringLiteral("HOME"), prefix + QStringLiteral(".home"));
    environment.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all"));
    environment.insert(QStringLiteral("WINEDLLOVERRIDES"),
                       QStringLiteral("mscoree,mshtml,winemenubuilder.exe=d"));
    for (const char *name : {"WAYLAND_DISPLAY", "XDG_CONFIG_HOME", "XDG_DATA_HOME",
                             "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"})
        environment.remove(QLatin1String(name));
    return environment;
}

QByteArray TestWine::wine(const QStringList &arguments, int *exitCode)
{
    QProcess process;
    process.setProcessEnvironment(wineEnvironment());
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(wine64, arguments);
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
    }
    if (exitCode)
        *exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return process.readAllStandardOutput();
}

QByteArray TestWine::runTool(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, arguments);
    process.waitForFinished(30000);
    return process.readAllStandardOutput();
}

void TestWine::startProgram()
{
    program = std::make_unique<QProcess>();
    program->setProcessEnvironment(wineEnvironment());
    program->setWorkingDirectory(workDir.path());
    program->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    program->setStandardOutputFile(QProcess::nullDevice());
    program->start(wine64, {exe});
    QVERIFY(program->waitForStarted(30000));
    ++starts;
}

// Ends every Windows process of the prefix, and its wineserver, which
// writes the registry out as it ends.
void TestWine::endWine()
{
    const QString wineserver = QFileInfo(wine64).dir().filePath(QStringLiteral("wineserver"));
    for (const char *action : {"-k", "-w"}) {
        QProcess server;
        server.setProcessEnvironment(wineEnvironment());
        server.start(wineserver, {QLatin1String(action)});
        server.waitForFinished(60000);
        if (program) {
            program->waitForFinished(30000);
            program.reset();
        }
    }
}

QString TestWine::registryValue(const QString &key, const QString &name)
{
    const QByteArray output = wine({QStringLiteral("reg"), QStringLiteral("query"),
                                    QStringLiteral("HKEY_CURRENT_USER\\Brindlecast\\") + key,
                                    QStringLiteral("/v"), name});
    const QRegularExpression line(
            QStringLiteral("^\\s*%1\\s+REG_SZ\\s+(.*?)\\s*$").arg(QRegularExpression::escape(name)),
            QRegularExpression::MultilineOption);
    return line.match(QString::fromLocal8Bit(output)).captured(1);
}

QString TestWine::trayWindow()
{
    return QString::fromLatin1(runTool(QStringLiteral("xdotool"),
                                       {QStringLiteral("search"), QStringLiteral("--name"),
                                        QStringLiteral("^Wine System Tray$")}))
            .section(QLatin1Char('\n'), 0, 0)
            .trimmed();
}

// The colour most of the icon's pixels lean to: the plug is green, the
// crossed-out plug of a power failure red.
QString TestWine::trayColour()
{
    const QString tray = trayWindow();
    if (tray.isEmpty())
        return QStringLiteral("no tray window");
    const QImage image =
            QImage::fromData(runTool(QStringLiteral("import"),
                                     {QStringLiteral("-window"), tray, QStringLiteral("png:-")}),
                             "PNG");
    int green = 0;
    int red = 0;
    for (int y = 0; y < qMin(image.height(), 20); ++y) {
        for (int x = 0; x < qMin(image.width(), 20); ++x) {
            const QColor pixel = image.pixelColor(x, y);
            if (pixel.green() > pixel.red() + 60)
                ++green;
            else if (pixel.red() > pixel.green() + 60)
                ++red;
        }
    }
    if (green > 2 * red)
        return QStringLiteral("green");
    if (red > 2 * green)
        return QStringLiteral("red");
    return QStringLiteral("%1 green and %2 red pixels").arg(green).arg(red);
}

QTEST_GUILESS_MAIN(TestWine)
#include "tst_wine.moc"
