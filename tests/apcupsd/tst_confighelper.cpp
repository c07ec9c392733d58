// The privileged helper that writes apcupsd.conf, run for real on temporary
// files: it writes only the program's two shapes of the file, keeps the
// previous file and the administrator's original beside it, and refuses
// everything else without touching anything.
#include "apcupsdconf.h"
#include "standinprograms.h"

#include <QtTest>

#include <unistd.h>

namespace {

// An administrator who opened the status server to the network.
const QByteArray adminsFile =
        "## apcupsd.conf v1.1 ##\nUPSCABLE smart\nDEVICE /dev/ttyS1\n#NISIP 127.0.0.1\nNISIP "
        "0.0.0.0\n";

// The program's text for the Linux profile with the administrator's NISIP.
QByteArray keepingAdminsAddress(QByteArray text)
{
    return text.replace("\nNISIP 127.0.0.1\n", "\nNISIP 0.0.0.0\n");
}

// Runs the helper on conf; with noNewFiles, in a folder where no file can be
// made (root too loses the right to ignore the folder's permissions).
bool runHelper(const QString &conf, const QStringList &arguments, int *exitCode,
               bool noNewFiles = false, bool underPkexec = false, QByteArray *errors = nullptr)
{
    QProcess helper;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("PKEXEC_UID"));
    if (underPkexec)
        environment.insert(QStringLiteral("PKEXEC_UID"), QStringLiteral("1000"));
    helper.setProcessEnvironment(environment);
    const QString folder = QFileInfo(conf).absolutePath();
    const QFileDevice::Permissions before = QFile::permissions(folder);
    QStringList command{QStringLiteral(VOLTRINE_CONF_HELPER), QStringLiteral("--config"), conf};
    command += arguments;
    if (noNewFiles) {
        QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        if (geteuid() == 0)
            command = QStringList{QStringLiteral("setpriv"),
                                  QStringLiteral("--bounding-set=-dac_override,-dac_read_search")} +
                    command;
    }
    helper.start(command.takeFirst(), command);
    const bool finished = helper.waitForFinished(30000);
    QFile::setPermissions(folder, before);
    if (errors)
        *errors = helper.readAllStandardError();
    *exitCode = helper.exitStatus() == QProcess::NormalExit ? helper.exitCode() : -1;
    return finished;
}

} // namespace

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
        QTest::newRow("USB") << QStringList{"usb"} << false << true << 0
                             << keepingAdminsAddress(usb);
        QTest::newRow("USB, no previous file") << QStringList{"usb"} << false << false << 0 << usb;
        QTest::newRow("serial") << QStringList{"rs232", "ttyUSB0"} << false << true << 0
                                << keepingAdminsAddress(apcupsdConfText(linux,
                                                                        UpsConnection::Serial,
                                                                        QStringLiteral("ttyUSB0")));
        QTest::newRow("USB, this machine only asked for")
                << QStringList{"--nisip", "127.0.0.1", "usb"} << false << true << 0 << usb;
        QTest::newRow("address that is not offered")
                << QStringList{"--nisip", "10.0.0.1", "usb"} << false << true << 1 << QByteArray();
        QTest::newRow("port with a path")
                << QStringList{"rs232", "../shadow"} << false << true << 1 << QByteArray();
        QTest::newRow("port with a line break")
                << QStringList{"rs232", "ttyS0\nKILLDELAY 1"} << false << true << 1 << QByteArray();
        QTest::newRow("empty port")
                << QStringList{"rs232", ""} << false << true << 1 << QByteArray();
        QTest::newRow("no port") << QStringList{"rs232"} << false << true << 1 << QByteArray();
        QTest::newRow("port the page lists for none")
                << QStringList{"rs232", "NA"} << false << true << 1 << QByteArray();
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
        const QByteArray old = adminsFile;
        if (previousFile) {
            writeFileContent(conf, old);
            // The daemon's file is readable by its group only, for example.
            QVERIFY(QFile::setPermissions(conf,
                                          QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                  QFileDevice::ReadGroup));
        }

        int code = -1;
        QByteArray errors;
        QVERIFY(runHelper(conf, arguments, &code, false, underPkexec, &errors));
        QCOMPARE(code, exitCode);

        const QString backup = conf + QStringLiteral(".bak");
        if (written.isEmpty()) {
            QVERIFY(!errors.isEmpty());
            QCOMPARE(fileContent(conf), old);
            QVERIFY(!QFile::exists(backup));
        } else {
            QCOMPARE(fileContent(conf), written);
            QCOMPARE(QFile::exists(backup), previousFile);
            if (previousFile) {
                QCOMPARE(fileContent(backup), old);
                QCOMPARE(fileContent(conf + QStringLiteral(".orig")), old);
                QCOMPARE(QFile::permissions(conf), QFile::permissions(backup));
            }
        }
        QStringList expectedFiles{QStringLiteral("apcupsd.conf")};
        if (QFile::exists(backup))
            expectedFiles << QStringLiteral("apcupsd.conf.bak")
                          << QStringLiteral("apcupsd.conf.orig");
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), expectedFiles);
    }

    void keepsTheAdministratorsFile_data()
    {
        // What the folder holds before: apcupsd.conf, and a copy beside it
        // made by an earlier version (empty: none).
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QByteArray>("backupBefore");
        QTest::addColumn<bool>("noNewFiles");
        QTest::addColumn<int>("exitCode");
        // What it holds after two saves (serial, then USB); empty: no such file.
        QTest::addColumn<QByteArray>("expectedFile");
        QTest::addColumn<QByteArray>("expectedBackup");
        QTest::addColumn<QByteArray>("expectedOriginal");

        const InstallationProfile linux = InstallationProfile::linuxStandIn();
        const QByteArray usb = keepingAdminsAddress(apcupsdConfText(linux, UpsConnection::Usb));
        const QByteArray serial = keepingAdminsAddress(
                apcupsdConfText(linux, UpsConnection::Serial, QStringLiteral("ttyS0")));
        QTest::newRow("two saves")
                << adminsFile << QByteArray() << false << 0 << usb << serial << adminsFile;
        QTest::newRow("copy made by an earlier version")
                << serial << adminsFile << false << 0 << usb << serial << adminsFile;
        // Written in place: the copy that exists is written in place too; no
        // original can be made there.
        QTest::newRow("folder takes no new file") << adminsFile << QByteArray("older\n") << true
                                                  << 0 << usb << serial << QByteArray();
        QTest::newRow("folder takes no new file, nor a copy")
                << adminsFile << QByteArray() << true << 2 << adminsFile << QByteArray()
                << QByteArray();
    }

    void keepsTheAdministratorsFile()
    {
        QFETCH(QByteArray, file);
        QFETCH(QByteArray, backupBefore);
        QFETCH(bool, noNewFiles);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, expectedFile);
        QFETCH(QByteArray, expectedBackup);
        QFETCH(QByteArray, expectedOriginal);

        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString conf = dir.filePath(QStringLiteral("apcupsd.conf"));
        writeFileContent(conf, file);
        if (!backupBefore.isEmpty())
            writeFileContent(conf + QStringLiteral(".bak"), backupBefore);
        int code = -1;
        QVERIFY(runHelper(conf, {QStringLiteral("rs232"), QStringLiteral("ttyS0")}, &code,
                          noNewFiles));
        QCOMPARE(code, exitCode);
        QVERIFY(runHelper(conf, {QStringLiteral("usb")}, &code, noNewFiles));
        QCOMPARE(code, exitCode);

        QCOMPARE(fileContent(conf), expectedFile);
        for (const auto &[suffix, expected] :
             {std::pair{QStringLiteral(".bak"), expectedBackup},
              std::pair{QStringLiteral(".orig"), expectedOriginal}}) {
            QCOMPARE(QFile::exists(conf + suffix), !expected.isEmpty());
            if (!expected.isEmpty())
                QCOMPARE(fileContent(conf + suffix), expected);
        }
    }
};

QTEST_GUILESS_MAIN(TestConfigHelper)
#include "tst_confighelper.moc"
