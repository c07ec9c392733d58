// The privileged helper that writes apcupsd.conf, run for real on temporary
// files: it writes only the program's two shapes of the file, keeps the
// previous file beside it, and refuses everything else without touching
// anything.
#include "apcupsdconf.h"
#include "standinprograms.h"

#include <QtTest>

class TestConfigHelper : public QObject
{
    Q_OBJECT

private slots:
    void writesOnlyTheProgramsShapes_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("underPkexec");
        QTest::addColumn<bool>("previousFile");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("written"); // empty: the file stays as it was

        const InstallationProfile linux = InstallationProfile::linuxStandIn();
        const QByteArray usb = apcupsdConfText(linux, UpsConnection::Usb);
        QTest::newRow("USB") << QStringList{"usb"} << false << true << 0 << usb;
        QTest::newRow("USB, no previous file") << QStringList{"usb"} << false << false << 0 << usb;
        QTest::newRow("serial") << QStringList{"rs232", "ttyUSB0"} << false << true << 0
                                << apcupsdConfText(linux, UpsConnection::Serial,
                                                   QStringLiteral("ttyUSB0"));
        QTest::newRow("port with a path")
                << QStringList{"rs232", "../shadow"} << false << true << 1 << QByteArray();
        QTest::newRow("port with a line break")
                << QStringList{"rs232", "ttyS0\nKILLDELAY 1"} << false << true << 1 << QByteArray();
        QTest::newRow("empty port")
                << QStringList{"rs232", ""} << false << true << 1 << QByteArray();
        QTest::newRow("no port") << QStringList{"rs232"} << false << true << 1 << QByteArray();
        QTest::newRow("other shape") << QStringList{"net"} << false << true << 1 << QByteArray();
        QTest::newRow("more arguments")
                << QStringList{"usb", "NISIP 0.0.0.0"} << false << true << 1 << QByteArray();
        QTest::newRow("another file under pkexec")
                << QStringList{"usb"} << true << true << 1 << QByteArray();
    }

    void writesOnlyTheProgramsShapes()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, underPkexec);
        QFETCH(bool, previousFile);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, written);

        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString conf = dir.filePath(QStringLiteral("apcupsd.conf"));
        const QByteArray old = "## apcupsd.conf v1.1 ##\nUPSCABLE smart\nDEVICE /dev/ttyS1\n";
        if (previousFile) {
            writeFileContent(conf, old);
            // The daemon's file is readable by its group only, for example.
            QVERIFY(QFile::setPermissions(conf,
                                          QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                  QFileDevice::ReadGroup));
        }

        QProcess helper;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("PKEXEC_UID"));
        if (underPkexec)
            environment.insert(QStringLiteral("PKEXEC_UID"), QStringLiteral("1000"));
        helper.setProcessEnvironment(environment);
        helper.start(QStringLiteral(VOLTRINE_CONF_HELPER),
                     QStringList{QStringLiteral("--config"), conf} + arguments);
        QVERIFY(helper.waitForFinished(30000));
        QCOMPARE(helper.exitStatus(), QProcess::NormalExit);
        QCOMPARE(helper.exitCode(), exitCode);

        const QString backup = conf + QStringLiteral(".bak");
        if (written.isEmpty()) {
            QVERIFY(!helper.readAllStandardError().isEmpty());
            QCOMPARE(fileContent(conf), old);
            QVERIFY(!QFile::exists(backup));
        } else {
            QCOMPARE(fileContent(conf), written);
            QCOMPARE(QFile::exists(backup), previousFile);
            if (previousFile) {
                QCOMPARE(fileContent(backup), old);
                QCOMPARE(QFile::permissions(conf), QFile::permissions(backup));
            }
        }
        QStringList expectedFiles{QStringLiteral("apcupsd.conf")};
        if (QFile::exists(backup))
            expectedFiles.append(QStringLiteral("apcupsd.conf.bak"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), expectedFiles);
    }
};

QTEST_GUILESS_MAIN(TestConfigHelper)
#include "tst_confighelper.moc"
