#include "commandrunner.h"
#include "installationprofile.h"

#include <QtTest>

using Format = InstallationProfile::ProcessListFormat;
Q_DECLARE_METATYPE(Format)

class TestProcessList : public QObject
{
    Q_OBJECT

private slots:
    void parse_data()
    {
        QTest::addColumn<Format>("format");
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<QStringList>("names");

        const QByteArray header = "\r\nImage Name                     PID Session Name        "
                                  "Session#    Mem Usage\r\n"
                                  "========================= ======== ================ "
                                  "=========== ============\r\n";
        QTest::newRow("tasklist header and processes")
                << Format::Tasklist
                << header +
                        "System Idle Process              0 Services                   0"
                        "          8 K\r\n"
                        "smss.exe                       388 Services                   0"
                        "      1,084 K\r\n"
                        "apcupsd.exe                   1234 Console                    1"
                        "     10,000 K\r\n"
                << QStringList{QStringLiteral("smss.exe"), QStringLiteral("apcupsd.exe")};
        QTest::newRow("capitals kept, leading blanks removed")
                << Format::Tasklist << QByteArray("  Foo.EXE   1234 Console 1 10,000 K\r\n")
                << QStringList{QStringLiteral("Foo.EXE")};
        QTest::newRow("cut after the last .exe")
                << Format::Tasklist << QByteArray("setup.exe.exe 77 Console 1 1 K\n")
                << QStringList{QStringLiteral("setup.exe.exe")};
        QTest::newRow("blank inside the name")
                << Format::Tasklist << QByteArray("My Tool.exe     42 Console 1 1 K\n")
                << QStringList{QStringLiteral("My Tool.exe")};
        QTest::newRow("duplicates kept, order kept")
                << Format::Tasklist
                << QByteArray("svchost.exe 1 S 0 1 K\nb.exe 2 S 0 1 K\nsvchost.exe 3 S 0 1 K")
                << QStringList{QStringLiteral("svchost.exe"), QStringLiteral("b.exe"),
                               QStringLiteral("svchost.exe")};
        QTest::newRow("names without .exe skipped")
                << Format::Tasklist << QByteArray("System 4 S 0 1 K\nRegistry 100 S 0 1 K\n")
                << QStringList();
        QTest::newRow("nothing printed") << Format::Tasklist << QByteArray() << QStringList();
        QTest::newRow("UTF-8 decoded")
                << Format::Tasklist << QByteArray("d\xc3\xa9mo.exe 5 Console 1 1 K\n")
                << QStringList{QStringLiteral("d\u00e9mo.exe")};

        QTest::newRow("image names trimmed, empty lines skipped")
                << Format::ImageNames << QByteArray("systemd\n  apcupsd  \n\nkworker/0:1\n")
                << QStringList{QStringLiteral("systemd"), QStringLiteral("apcupsd"),
                               QStringLiteral("kworker/0:1")};
        QTest::newRow("image names need no .exe")
                << Format::ImageNames << QByteArray("apctest\napcupsd.exe\n")
                << QStringList{QStringLiteral("apctest"), QStringLiteral("apcupsd.exe")};
    }

    void parse()
    {
        QFETCH(Format, format);
        QFETCH(QByteArray, output);
        QFETCH(QStringList, names);
        QCOMPARE(parseProcessList(output, format), names);
    }

    void daemonAndToolPaths_data()
    {
        QTest::addColumn<QString>("root");
        QTest::addColumn<QString>("daemon");
        QTest::addColumn<QString>("tool");

        const auto daemon = QStringLiteral("C:/apcupsd/bin/apcupsd.exe");
        const auto tool = QStringLiteral("C:/apcupsd/bin/apctest.exe");
        QTest::newRow("fixed root") << QStringLiteral("C:/apcupsd") << daemon << tool;
        QTest::newRow("backslashes") << QStringLiteral("C:\\apcupsd") << daemon << tool;
        QTest::newRow("trailing slash") << QStringLiteral("C:/apcupsd/") << daemon << tool;
        QTest::newRow("trailing backslash") << QStringLiteral("C:\\apcupsd\\") << daemon << tool;
        // One pass: of three slashes two remain.
        QTest::newRow("three slashes")
                << QStringLiteral("C:/apcupsd//") << QStringLiteral("C:/apcupsd//bin/apcupsd.exe")
                << QStringLiteral("C:/apcupsd//bin/apctest.exe");
    }

    void daemonAndToolPaths()
    {
        QFETCH(QString, root);
        InstallationProfile profile = InstallationProfile::windows();
        profile.apcupsdRoot = root;
        QTEST(profile.daemonPath(), "daemon");
        QTEST(profile.testToolPath(), "tool");
    }

    void linuxPaths()
    {
        const InstallationProfile profile = InstallationProfile::linuxStandIn();
        QCOMPARE(profile.daemonPath(), QStringLiteral("/sbin/apcupsd"));
        QCOMPARE(profile.testToolPath(), QStringLiteral("/sbin/apctest"));
    }
};

QTEST_GUILESS_MAIN(TestProcessList)
#include "tst_processlist.moc"
