// The serial device list the configuration page offers on Linux.
#include "devicelisting.h"
#include "installationprofile.h"
#include "tracerecorder.h"

#include <QRegularExpression>
#include <QtTest>

Q_DECLARE_METATYPE(QVector<SerialPortEntry>)

class TestDeviceListing : public QObject
{
    Q_OBJECT

private slots:
    void displayNames_data()
    {
        QTest::addColumn<QVector<SerialPortEntry>>("ports");
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QStringList>("names");

        const QVector<SerialPortEntry> machine{
                {QStringLiteral("USB Serial Port"), QStringLiteral("ttyUSB0")},
                {QString(), QStringLiteral("ttyS0")},
                {QStringLiteral("  "), QStringLiteral("ttyS1")},
                {QStringLiteral("Bluetooth link"), QStringLiteral("rfcomm0")},
        };
        const QString linuxFilter = InstallationProfile::linuxStandIn().deviceFilter;
        QTest::newRow("the Linux filter keeps tty ports, in order")
                << machine << linuxFilter
                << QStringList{QStringLiteral("USB Serial Port (ttyUSB0)"),
                               QStringLiteral("Serial port (ttyS0)"),
                               QStringLiteral("Serial port (ttyS1)")};
        QTest::newRow("no filter keeps every port")
                << machine << QString()
                << QStringList{QStringLiteral("USB Serial Port (ttyUSB0)"),
                               QStringLiteral("Serial port (ttyS0)"),
                               QStringLiteral("Serial port (ttyS1)"),
                               QStringLiteral("Bluetooth link (rfcomm0)")};
        QTest::newRow("the filter is case-sensitive")
                << machine << QStringLiteral("(TTY") << QStringList();
        QTest::newRow("the Windows filter finds nothing here")
                << machine << InstallationProfile::windows().deviceFilter << QStringList();
        QTest::newRow("a filter on the description")
                << machine << QStringLiteral("USB")
                << QStringList{QStringLiteral("USB Serial Port (ttyUSB0)")};
        QTest::newRow("duplicates stay")
                << QVector<SerialPortEntry>{{QString(), QStringLiteral("ttyS0")},
                                            {QString(), QStringLiteral("ttyS0")}}
                << linuxFilter
                << QStringList{QStringLiteral("Serial port (ttyS0)"),
                               QStringLiteral("Serial port (ttyS0)")};
        QTest::newRow("a machine without serial ports")
                << QVector<SerialPortEntry>() << linuxFilter << QStringList();
    }

    void displayNames()
    {
        QFETCH(QVector<SerialPortEntry>, ports);
        QFETCH(QString, filter);
        QTEST(serialPortDisplayNames(ports, filter), "names");
    }

    void thisMachinesPorts()
    {
        TraceRecorder traces;
        const QStringList names = listSerialDevices(QStringLiteral("(tty"), *traces.log());
        const QRegularExpression form(QStringLiteral("^\\S.* \\((tty[^()/\\s]+)\\)$"));
        for (const QString &name : names) {
            const QRegularExpressionMatch match = form.match(name);
            QVERIFY2(match.hasMatch(), qPrintable(name));
            QVERIFY2(QFileInfo::exists(QStringLiteral("/dev/") + match.captured(1)),
                     qPrintable(name));
        }
        const QStringList all = listSerialDevices(QString(), *traces.log());
        for (const QString &name : names)
            QVERIFY(all.contains(name));
        // Listing is silent, with or without ports.
        QCOMPARE(traces.messages(), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestDeviceListing)
#include "tst_devicelisting.moc"
