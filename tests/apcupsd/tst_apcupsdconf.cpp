// apcupsd.conf as written by the service control: the text of both variants
// on both platforms, and the sequence around the write (daemon stopped
// before, started after) against stand-in Windows tools.
#include "apcupsdconf.h"
#include "readonlyfile.h"
#include "servicecontrol.h"
#include "standinprograms.h"
#include "tracerecorder.h"
#include "withoutfileoverride.h"

#include <QProcess>
#include <QScopeGuard>
#include <QtTest>

#include <memory>

namespace {

const auto daemonRun = QStringLiteral("C:/apcupsd/bin/apcupsd.exe");
const auto windowsConf = QStringLiteral("C:/apcupsd/etc/apcupsd/apcupsd.conf");

// The USB file on Windows, line by line.
const QStringList windowsUsbLines{
        QStringLiteral("#UPSNAME"),
        QStringLiteral("UPSCABLE usb"),
        QStringLiteral("UPSTYPE usb"),
        QStringLiteral("DEVICE "),
        QStringLiteral("POLLTIME 5"),
        QStringLiteral("SCRIPTDIR c:/apcupsd/etc/apcupsd"),
        QStringLiteral("PWRFAILDIR c:/apcupsd/etc/apcupsd"),
        QStringLiteral("NOLOGINDIR c:/apcupsd/etc/apcupsd"),
        QStringLiteral("ONBATTERYDELAY 2"),
        QStringLiteral("BATTERYLEVEL 40"),
        QStringLiteral("MINUTES 2"),
        QStringLiteral("TIMEOUT 0"),
        QStringLiteral("ANNOY 300"),
        QStringLiteral("ANNOYDELAY 60"),
        QStringLiteral("NOLOGON disable"),
        QStringLiteral("KILLDELAY 0"),
        QStringLiteral("NETSERVER on"),
        QStringLiteral("NISIP 0.0.0.0"),
        QStringLiteral("NISPORT 3551"),
        QStringLiteral("EVENTSFILE c:/apcupsd/etc/apcupsd/apcupsd.events"),
        QStringLiteral("EVENTSFILEMAX 10"),
        QStringLiteral("UPSCLASS standalone"),
        QStringLiteral("UPSMODE disable"),
        QStringLiteral("STATTIME 0"),
        QStringLiteral("STATFILE c:/apcupsd/etc/apcupsd/apcupsd.status"),
        QStringLiteral("LOGSTATS off"),
        QStringLiteral("DATATIME 0"),
        QStringLiteral("#FACILITY DAEMON"),
        QStringLiteral("#UPSNAME UPS_IDEN"),
        QStringLiteral("#BATTDATE mm//dd//yy"),
        QStringLiteral("#SENSITIVITY H"),
        QStringLiteral("#WAKEUP 60"),
        QStringLiteral("#SLEEP 180"),
        QStringLiteral("#LOTRANSFER  208"),
        QStringLiteral("#HITRANSFER 253"),
        QStringLiteral("#RETURNCHARGE 15"),
        QStringLiteral("#BEEPSTATE T"),
        QStringLiteral("#LOWBATT 2"),
        QStringLiteral("#OUTPUTVOLTS 230"),
        QStringLiteral("#SELFTEST 336"),
};

QByteArray joined(const QStringList &lines, const QByteArray &lineEnd)
{
    QByteArray text;
    for (const QString &line : lines)
        text += line.toLatin1() + lineEnd;
    return text;
}

} // namespace

class TestApcupsdConf : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<StandInPrograms> programs;
    std::unique_ptr<TraceRecorder> traces;

    std::unique_ptr<ServiceControl> makeControl(const QString &configFile = QString())
    {
        InstallationProfile profile = InstallationProfile::windows();
        profile.waits = testWaits();
        if (!configFile.isEmpty())
            profile.configFile = configFile;
        return std::make_unique<ServiceControl>(profile, traces->log());
    }

    // The commands and messages of a save that wrote its file.
    void verifySavedSequence(const QString &kind)
    {
        const QStringList messages = traces->messages();
        QCOMPARE(messages.mid(0, 4),
                 (QStringList{QStringLiteral("Stopping APC Service (apcupsd)"),
                              QStringLiteral("APC Service (apcupsd) Stoped"),
                              QStringLiteral("Apcupsd ") + kind +
                                      QStringLiteral(" Configuration file saved"),
                              QStringLiteral("Starting apcupsd services")}));
        QCOMPARE(messages.last(), QStringLiteral("Starting APC Service (apcupsd)"));
        QTRY_COMPARE_WITH_TIMEOUT(programs->commands().size(), 3, 20000);
        QCOMPARE(programs->commands(),
                 (QStringList{QStringLiteral("taskkill|/IM|apcupsd.exe"),
                              QStringLiteral("tasklist"), daemonRun}));
    }

private slots:
    void init()
    {
        programs = std::make_unique<StandInPrograms>();
        traces = std::make_unique<TraceRecorder>();
        programs->addWindowsTools();
        // The daemon keeps the file it finds when it starts, taskkill notes
        // the file it finds when the daemon is stopped.
        programs->addRecorder(daemonRun, "\"$0\"",
                              "cp '" + windowsConf.toUtf8() + "' conf-at-start 2>/dev/null\n");
        programs->addRecorder(QStringLiteral("bin/taskkill"), "taskkill",
                              "cp '" + windowsConf.toUtf8() + "' conf-at-stop 2>/dev/null\n");
        QVERIFY(QDir().mkpath(QStringLiteral("C:/apcupsd/etc/apcupsd")));
    }
    void cleanup()
    {
        traces.reset();
        programs.reset();
    }

    void usbFileOnWindows()
    {
        writeFileContent(windowsConf,
                         "old configuration, much longer than the new one\r\n" +
                                 QByteArray(8000, '#'));
        makeControl()->writeUsbConfig();
        QCOMPARE(fileContent(windowsConf), joined(windowsUsbLines, "\r\n"));
        verifySavedSequence(QStringLiteral("USB"));
        // Stopped on the old file, started on the new one.
        QVERIFY(fileContent(QStringLiteral("conf-at-stop")).startsWith("old configuration"));
        QTRY_COMPARE_WITH_TIMEOUT(fileContent(QStringLiteral("conf-at-start")),
                                  joined(windowsUsbLines, "\r\n"), 20000);
    }

    void serialFileOnWindows()
    {
        makeControl()->writeComConfig(QStringLiteral("COM3"));
        const QList<QByteArray> written = fileContent(windowsConf).split('\n');
        QCOMPARE(written.size(), 41); // 40 lines, each with its end
        QVERIFY(written.last().isEmpty());
        for (int i = 0; i < 40; ++i) {
            QByteArray expected = windowsUsbLines.at(i).toLatin1() + '\r';
            if (i == 1)
                expected = "UPSCABLE 940-0024B\r";
            else if (i == 2)
                expected = "UPSTYPE apcsmart\r";
            else if (i == 3)
                expected = "DEVICE COM3\r";
            QCOMPARE(written.at(i), expected);
        }
        verifySavedSequence(QStringLiteral("COM"));
    }

    void linuxText_data()
    {
        QTest::addColumn<int>("connection");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QStringList>("changed"); // lines 2, 3, 4

        QTest::newRow("USB") << int(UpsConnection::Usb) << QString()
                             << QStringList{QStringLiteral("UPSCABLE usb"),
                                            QStringLiteral("UPSTYPE usb"),
                                            QStringLiteral("DEVICE ")};
        QTest::newRow("serial ttyUSB0") << int(UpsConnection::Serial) << QStringLiteral("ttyUSB0")
                                        << QStringList{QStringLiteral("UPSCABLE 940-0024B"),
                                                       QStringLiteral("UPSTYPE apcsmart"),
                                                       QStringLiteral("DEVICE /dev/ttyUSB0")};
        QTest::newRow("serial without port")
                << int(UpsConnection::Serial) << QString()
                << QStringList{QStringLiteral("UPSCABLE 940-0024B"),
                               QStringLiteral("UPSTYPE apcsmart"), QStringLiteral("DEVICE ")};
    }

    void linuxText()
    {
        QFETCH(int, connection);
        QFETCH(QString, port);
        QFETCH(QStringList, changed);

        QStringList expected = windowsUsbLines;
        expected[1] = changed.at(0);
        expected[2] = changed.at(1);
        expected[3] = changed.at(2);
        expected[5] = QStringLiteral("SCRIPTDIR /etc/apcupsd");
        expected[6] = QStringLiteral("PWRFAILDIR /etc/apcupsd");
        expected[7] = QStringLiteral("NOLOGINDIR /etc");
        // Debian's own address: this machine only.
        expected[17] = QStringLiteral("NISIP 127.0.0.1");
        expected[19] = QStringLiteral("EVENTSFILE /var/log/apcupsd.events");
        expected[24] = QStringLiteral("STATFILE /var/log/apcupsd.status");
        // apcupsd takes a file without the version line for an old one.
        expected.prepend(QStringLiteral("## apcupsd.conf v1.1 ##"));
        QCOMPARE(apcupsdConfText(InstallationProfile::linuxStandIn(),
                                 static_cast<UpsConnection>(connection), port),
                 joined(expected, "\n"));
    }

    void emptyPortWritesDeviceAsForUsb()
    {
        makeControl()->writeComConfig(QString());
        const QList<QByteArray> written = fileContent(windowsConf).split('\n');
        QCOMPARE(written.value(3), QByteArray("DEVICE \r"));
        QCOMPARE(written.value(2), QByteArray("UPSTYPE apcsmart\r"));
    }

    void repeatedSavesAreByteIdentical_data()
    {
        QTest::addColumn<QString>("port");
        QTest::newRow("USB") << QString();
        QTest::newRow("COM1") << QStringLiteral("COM1");
    }

    void repeatedSavesAreByteIdentical()
    {
        QFETCH(QString, port);
        auto control = makeControl();
        const auto save = [&] {
            if (port.isEmpty())
                control->writeUsbConfig();
            else
                control->writeComConfig(port);
        };
        save();
        const QByteArray first = fileContent(windowsConf);
        save();
        QCOMPARE(fileContent(windowsConf), first);
        QCOMPARE(QDir(QStringLiteral("C:/apcupsd/etc/apcupsd")).entryList(QDir::Files),
                 QStringList{QStringLiteral("apcupsd.conf")}); // no temporary files left
    }

    void missingFolder_data()
    {
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("message");
        QTest::newRow("USB") << QString()
                             << QStringLiteral("Can not open Apcupsd USB Configuration file");
        QTest::newRow("COM") << QStringLiteral("COM2")
                             << QStringLiteral("Can not open Apcupsd COM Configuration file");
    }

    void missingFolder()
    {
        QFETCH(QString, port);
        QFETCH(QString, message);
        const QString folder = programs->filePath(QStringLiteral("absent"));
        auto control = makeControl(folder + QStringLiteral("/apcupsd.conf"));
        if (port.isEmpty())
            control->writeUsbConfig();
        else
            control->writeComConfig(port);

        QVERIFY(!QFileInfo::exists(folder));
        const QStringList messages = traces->messages();
        QCOMPARE(messages.value(2), message);
        QCOMPARE(messages.value(3), QStringLiteral("Starting apcupsd services"));
        // The daemon was stopped all the same and is started again.
        QTRY_COMPARE_WITH_TIMEOUT(programs->commands().size(), 3, 20000);
        QCOMPARE(programs->commands().last(), daemonRun);
    }

    void unwritableFileIsLeftAsItWas()
    {
        const QByteArray old = "DEVICE COM9\r\n";
        writeFileContent(windowsConf, old);
        {
            ReadOnlyFile readOnly(windowsConf);
            if (!readOnly.isEffective())
                QSKIP("the file system cannot make the file unwritable");
            makeControl()->writeUsbConfig();
        }
        QCOMPARE(fileContent(windowsConf), old);
        QCOMPARE(traces->messages().value(2),
                 QStringLiteral("Can not open Apcupsd USB Configuration file"));
        QTRY_COMPARE_WITH_TIMEOUT(programs->commands().size(), 3, 20000);
    }

    // Where the folder lets no temporary file be made beside it, the file
    // itself is written.
    void writableFileInFolderThatIsNotWritable()
    {
        const QString folder = QStringLiteral("C:/apcupsd/etc/apcupsd");
        writeFileContent(windowsConf, "DEVICE COM9\r\n");
        const QFileDevice::Permissions before = QFile::permissions(folder);
        QVERIFY(QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        auto control = makeControl();
        const bool confined = runWithoutFileOverride([&control] { control->writeUsbConfig(); });
        QFile::setPermissions(folder, before);
        if (!confined)
            QSKIP("cannot give up the right to override file permissions here");
        QCOMPARE(traces->messages().value(2),
                 QStringLiteral("Apcupsd USB Configuration file saved"));
        QCOMPARE(fileContent(windowsConf), joined(windowsUsbLines, "\r\n"));
    }

    void fullDiskLeavesTheOldFileWhole()
    {
        // A small file system of its own, filled up but for a few bytes.
        const QString mountPoint = programs->filePath(QStringLiteral("small"));
        QVERIFY(QDir().mkpath(mountPoint));
        if (QProcess::execute(QStringLiteral("mount"),
                              {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                               QStringLiteral("size=64k"), QStringLiteral("tmpfs"), mountPoint}) !=
            0)
            QSKIP("cannot mount a small file system here (needs root)");
        const auto unmount =
                qScopeGuard([&] { QProcess::execute(QStringLiteral("umount"), {mountPoint}); });
        const QString conf = mountPoint + QStringLiteral("/apcupsd.conf");
        const QByteArray old = "DEVICE COM9\r\n";
        writeFileContent(conf, old);
        QFile filler(mountPoint + QStringLiteral("/filler"));
        QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        while (filler.write(QByteArray(512, 'x')) > 0) { }
        filler.close();

        makeControl(conf)->writeUsbConfig();
        QCOMPARE(fileContent(conf), old);
        const QString message = traces->messages().value(2);
        QVERIFY2(
                message.startsWith(QStringLiteral("Can not save Apcupsd USB Configuration file: ")),
                qPrintable(message));
        QCOMPARE(QDir(mountPoint).entryList(QDir::Files),
                 (QStringList{QStringLiteral("apcupsd.conf"), QStringLiteral("filler")}));
    }

    void portWithControlCharacterIsRefused_data()
    {
        QTest::addColumn<QString>("port");
        QTest::newRow("line feed") << QStringLiteral("COM3\nKILLDELAY 1");
        QTest::newRow("carriage return") << QStringLiteral("COM3\rX");
        QTest::newRow("tab") << QStringLiteral("COM\t3");
        QTest::newRow("null") << QString(QLatin1String("COM3\0", 5));
        QTest::newRow("escape") << QStringLiteral("COM\x1b[2J");
        QTest::newRow("delete") << QStringLiteral("COM3\x7f");
        QTest::newRow("line separator") << QStringLiteral("COM3\u2028NISIP 1.2.3.4");
    }

    void portWithControlCharacterIsRefused()
    {
        QFETCH(QString, port);
        const QByteArray old = "previous\r\n";
        writeFileContent(windowsConf, old);
        makeControl()->writeComConfig(port);

        QCOMPARE(fileContent(windowsConf), old);
        const QStringList messages = traces->messages();
        QCOMPARE(messages.value(0),
                 QStringLiteral("Can not write Apcupsd COM Configuration file: the port name "
                                "contains a control character"));
        // The running daemon is not disturbed: no stop, only the usual start check.
        QCOMPARE(messages.value(1), QStringLiteral("Starting apcupsd services"));
        QTRY_COMPARE_WITH_TIMEOUT(programs->commands().size(), 2, 20000);
        QCOMPARE(programs->commands(), (QStringList{QStringLiteral("tasklist"), daemonRun}));
    }

    void acceptablePortNames_data()
    {
        QTest::addColumn<QString>("port");
        QTest::newRow("COM3") << QStringLiteral("COM3");
        QTest::newRow("ttyUSB0") << QStringLiteral("ttyUSB0");
        QTest::newRow("empty") << QString();
        QTest::newRow("blank inside") << QStringLiteral("COM 3");
        QTest::newRow("not ASCII") << QStringLiteral("ttyS\u00e9");
    }

    void acceptablePortNames()
    {
        QFETCH(QString, port);
        QVERIFY(isAcceptablePortName(port));
    }

    void overridesReplaceOrAppend()
    {
        InstallationProfile profile = InstallationProfile::linuxStandIn();
        profile.configOverrides = {{QStringLiteral("UPSTYPE"), QStringLiteral("net")},
                                   {QStringLiteral("NISPORT"), QStringLiteral("40001")},
                                   {QStringLiteral("LOCKFILE"), QStringLiteral("/run/lock/ups")}};
        const QStringList lines = apcupsdConfLines(profile, UpsConnection::Usb);
        QCOMPARE(lines.size(), 41);
        QCOMPARE(lines.at(2), QStringLiteral("UPSTYPE net"));
        QCOMPARE(lines.at(18), QStringLiteral("NISPORT 40001"));
        QCOMPARE(lines.last(), QStringLiteral("LOCKFILE /run/lock/ups"));
        // Comments are not directives.
        QCOMPARE(lines.at(0), QStringLiteral("#UPSNAME"));
    }
};

QTEST_GUILESS_MAIN(TestApcupsdConf)
#include "tst_apcupsdconf.moc"
