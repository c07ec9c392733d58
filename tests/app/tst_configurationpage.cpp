#include "apcupsdcontrol.h"
#include "comthrd.h"
#include "core.h"
#include "database.h"
#include "logs.h"
#include "mainwindow.h"
#include "offscreentray.h"
#include "registry.h"
#include "standinprograms.h"
#include "testfiles.h"
#include "testmariadb.h"
#include "traynotifier.h"
#include "upssimulator.h"
#include "userregistry.h"
#include "windowsubsystems.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimeEdit>
#include <QtTest>

#include <memory>

namespace {

const QByteArray header = "Voltrine:Configuration\nVersion:1.1\n";

} // namespace

// The configuration page, in the window, with the program's subsystems on
// real peers: UPS simulators as apcupsd's network server, the private MariaDB,
// and the service control with a profile whose daemon is a stand-in that
// records its starts and whose apcupsd.conf lies in the test's directory.
class TestConfigurationPage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        OffscreenTray::silence();
        QVERIFY2(server.isValid(), qPrintable(server.errorString()));
    }

    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
        qputenv("XDG_CONFIG_HOME", dir->filePath(QStringLiteral("config")).toLocal8Bit());
        QVERIFY(simulator.listen() || simulator.port() != 0);
        devices.clear();
        deviceFilter = QStringLiteral("(tty");
        adjustProfile = {};
    }

    void cleanup()
    {
        window.reset();
        peers.reset();
        programs.reset();
        dir.reset();
    }

    void loadShowsStoredValuesWithSavesDisabled()
    {
        setMachineNumber(QStringLiteral("M5"));
        start(header +
              "UPSHOST:ups.example.lan\nUPSPORT:3551\nDBHOST:127.0.0.1\nDBPORT:3306\n"
              "DBVDRIVER:5.3\nDBNAME:upslog\nDBUSER:monitor\nDBPASSWD:736563726574\n"
              "STARTMINIMISED:false\nDBLOGTIME:600000\n");
        openPage();
        QCOMPARE(page()->currentIndex(), 1);
        QCOMPARE(edit("lineEdit")->text(), QStringLiteral("ups.example.lan"));
        QCOMPARE(edit("lineEdit_7")->text(), QStringLiteral("monitor"));
        QCOMPARE(edit("lineEdit_8")->text(), QStringLiteral("736563726574"));
        QCOMPARE(edit("lineEditmachinenumber")->text(), QStringLiteral("M5"));
        QVERIFY(!window->findChild<QCheckBox *>(QStringLiteral("checkBoxstartminimised"))
                         ->isChecked());
        QCOMPARE(enabledSaves(), QStringList());

        QTest::keyClick(edit("lineEdit_6"), Qt::Key_X);
        QCOMPARE(enabledSaves(), QStringList{QStringLiteral("pushButton_savedatabaseinfo")});

        button("pushButton_2")->click();
        QCOMPARE(page()->currentIndex(), 0);
        // Close saves nothing.
        QCOMPARE(registry->getKey(QStringLiteral("dbname")), QStringLiteral("upslog"));
    }

    void enablingChanges_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<QString>("save");

        QTest::newRow("host") << "lineEdit"
                              << "pushButton_saveapcupsd";
        QTest::newRow("port") << "lineEdit_2"
                              << "pushButton_saveapcupsd";
        QTest::newRow("database host") << "lineEdit_3"
                                       << "pushButton_savedatabaseinfo";
        QTest::newRow("password") << "lineEdit_8"
                                  << "pushButton_savedatabaseinfo";
        QTest::newRow("machine number") << "lineEditmachinenumber"
                                        << "pushButton_savedatabaseinfo";
        QTest::newRow("interval") << "timeEdit"
                                  << "pushButton_savedatabaseinfo";
        QTest::newRow("connector") << "comboBox"
                                   << "pushButton_saveupsconf";
        QTest::newRow("start minimised") << "checkBoxstartminimised"
                                         << "pushButtonSavegeneral";
    }

    void enablingChanges()
    {
        QFETCH(QString, change);
        QFETCH(QString, save);

        start(header);
        openPage();
        QWidget *widget = window->findChild<QWidget *>(change);
        QVERIFY(widget);
        if (auto *line = qobject_cast<QLineEdit *>(widget))
            line->setText(line->text() + QLatin1Char('1'));
        else if (auto *time = qobject_cast<QTimeEdit *>(widget))
            time->setTime(time->time().addSecs(60));
        else if (auto *combo = qobject_cast<QComboBox *>(widget))
            combo->setCurrentIndex(1 - combo->currentIndex());
        else if (auto *box = qobject_cast<QCheckBox *>(widget))
            QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(5, box->height() / 2));
        QCOMPARE(enabledSaves(), QStringList{save});
    }

    void intervalShownAsMinutesAndSeconds_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QTime>("shown");

        QTest::newRow("ten minutes") << "600000" << QTime(0, 10, 0);
        QTest::newRow("ninety seconds") << "90000" << QTime(0, 1, 30);
        QTest::newRow("ninety minutes leaves the field") << "5400000" << QTime(0, 7, 7);
    }

    void intervalShownAsMinutesAndSeconds()
    {
        QFETCH(QString, stored);
        QFETCH(QTime, shown);

        start(header + "DBLOGTIME:600000\n");
        timeEdit()->setTime(QTime(0, 7, 7));
        registry->setKey(QStringLiteral("dblogtime"), stored);
        openPage();
        QCOMPARE(timeEdit()->time(), shown);
    }

    void intervalSaved()
    {
        start(header);
        openPage();
        timeEdit()->setTime(QTime(0, 2, 30));
        setDatabaseFields(QStringLiteral("wrong-password"));
        button("pushButton_savedatabaseinfo")->click();
        QCOMPARE(registry->getKey(QStringLiteral("dblogtime")), QStringLiteral("150000"));
        QCOMPARE(core->loggingInterval(), 150000);
        QVERIFY(!button("pushButton_savedatabaseinfo")->isEnabled());
    }

    void untouchedIntervalIsKept_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QTime>("shown");

        // The field cannot show either: it keeps the form's value or the nearest one.
        QTest::newRow("ninety minutes") << "5400000" << QTime(0, 1, 0);
        QTest::newRow("part of a second") << "90500" << QTime(0, 1, 30);
    }

    // A save of the tab for another field leaves the interval as it was.
    void untouchedIntervalIsKept()
    {
        QFETCH(QString, stored);
        QFETCH(QTime, shown);

        start(header +
              "DBHOST:127.0.0.1\nDBPORT:3306\nDBVDRIVER:5.3\nDBNAME:upslog\nDBUSER:monitor\n"
              "DBPASSWD:736563726574\nDBLOGTIME:" +
              stored.toLatin1() + "\n");
        openPage();
        QCOMPARE(timeEdit()->time(), shown);
        edit("lineEdit_6")->setText(QStringLiteral("otherdb"));
        button("pushButton_savedatabaseinfo")->click();
        QCOMPARE(registry->getKey(QStringLiteral("dbname")), QStringLiteral("otherdb"));
        QCOMPARE(registry->getKey(QStringLiteral("dblogtime")), stored);
        QCOMPARE(core->loggingInterval(), stored.toInt());
    }

    void passwordStoredEncodedOnlyWhenChanged()
    {
        start(header +
              "DBHOST:127.0.0.1\nDBPORT:3306\nDBVDRIVER:5.3\nDBNAME:upslog\nDBUSER:monitor\n"
              "DBPASSWD:736563726574\n");
        openPage();
        edit("lineEdit_6")->setText(QStringLiteral("otherdb"));
        button("pushButton_savedatabaseinfo")->click();
        QCOMPARE(registry->getKey(QStringLiteral("dbpasswd")), QStringLiteral("736563726574"));
        QCOMPARE(readFileBytes(confPath()).count("DBPASSWD:736563726574\n"), 1);

        edit("lineEdit_8")->setText(QStringLiteral("n\u00e9w;pass"));
        button("pushButton_savedatabaseinfo")->click();
        QCOMPARE(registry->getKey(QStringLiteral("dbpasswd"), true),
                 QStringLiteral("n\u00e9w;pass"));
        QCOMPARE(registry->getKey(QStringLiteral("dbpasswd")), QStringLiteral("6ee9773b70617373"));
    }

    void storedPortIsSelected_data()
    {
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<int>("selected");

        // The Windows profile's filter takes the COM ports, the Linux one the tty ports.
        QTest::newRow("Windows names, COM3")
                << "(COM"
                << QStringList{"Communications Port (COM1)", "Printer Port (LPT1)",
                               "USB Serial Port (COM3)"}
                << "COM3" << 2;
        QTest::newRow("Linux names, ttyUSB0")
                << "(tty" << QStringList{"Serial port (ttyS0)", "USB Serial Port (ttyUSB0)"}
                << "ttyUSB0" << 2;
        QTest::newRow("no port stored")
                << "(tty" << QStringList{"Serial port (ttyS0)"} << "NA" << 0;
        QTest::newRow("no ports on the machine") << "(tty" << QStringList{} << "ttyUSB0" << 0;
    }

    void storedPortIsSelected()
    {
        QFETCH(QString, filter);
        QFETCH(QStringList, names);
        QFETCH(QString, stored);
        QFETCH(int, selected);

        devices = names;
        deviceFilter = filter;
        start(header + "UPSCONTYPE:RS232\nUSPCOMPORT:" + stored.toLatin1() + "\n");
        openPage();
        auto *ports = combo("comboBox_2");
        QCOMPARE(ports->count(), 1 + names.filter(filter).size());
        QCOMPARE(ports->itemText(0), QStringLiteral("NA"));
        QCOMPARE(ports->currentIndex(), selected);
        QCOMPARE(combo("comboBox")->currentText(), QStringLiteral("RS232"));
        QVERIFY(!ports->isHidden());
    }

    void connectorChoiceShowsPortRow()
    {
        start(header + "UPSCONTYPE:USB\n");
        openPage();
        auto *ports = combo("comboBox_2");
        QVERIFY(ports->isHidden());
        QVERIFY(button("pushButtonRefreshDevicesList")->isHidden());
        combo("comboBox")->setCurrentText(QStringLiteral("RS232"));
        QVERIFY(!ports->isHidden());
        QVERIFY(!window->findChild<QLabel *>(QStringLiteral("label_23"))->isHidden());
        combo("comboBox")->setCurrentText(QStringLiteral("USB"));
        QVERIFY(ports->isHidden());
    }

    void upsConfigurationSaves_data()
    {
        QTest::addColumn<QString>("connector");
        QTest::addColumn<int>("entry");
        // apcupsd.conf cannot be written: a folder stands at its path.
        QTest::addColumn<bool>("fileIsFolder");
        // What confdata says after the save: the file's connection.
        QTest::addColumn<QString>("storedConnector");
        QTest::addColumn<QString>("storedPort");
        // The file's DEVICE line; empty: the file was not written.
        QTest::addColumn<QByteArray>("deviceLine");

        // "Other machines may ask apcupsd" ticked: NISIP 0.0.0.0, else 127.0.0.1.
        QTest::addColumn<bool>("openToNetworks");

        QTest::newRow("USB keeps the port") << "USB" << 0 << false << "USB"
                                            << "ttyS0" << QByteArray("DEVICE \n") << false;
        QTest::newRow("serial port") << "RS232" << 2 << false << "RS232"
                                     << "ttyUSB0" << QByteArray("DEVICE /dev/ttyUSB0\n") << false;
        QTest::newRow("serial port, open to other machines")
                << "RS232" << 2 << false << "RS232"
                << "ttyUSB0" << QByteArray("DEVICE /dev/ttyUSB0\n") << true;
        QTest::newRow("serial without a port") << "RS232" << 0 << false << "USB"
                                               << "ttyS0" << QByteArray() << false;
        QTest::newRow("file that cannot be written") << "RS232" << 2 << true << "USB"
                                                     << "ttyS0" << QByteArray() << false;
    }

    void upsConfigurationSaves()
    {
        QFETCH(QString, connector);
        QFETCH(int, entry);
        QFETCH(bool, fileIsFolder);
        QFETCH(QString, storedConnector);
        QFETCH(QString, storedPort);
        QFETCH(QByteArray, deviceLine);
        QFETCH(bool, openToNetworks);

        devices = QStringList{"Serial port (ttyS0)", "USB Serial Port (ttyUSB0)"};
        const QString file = dir->filePath(QStringLiteral("apcupsd.conf"));
        if (fileIsFolder)
            QVERIFY(QDir().mkpath(file));
        start(header + "UPSCONTYPE:USB\nUSPCOMPORT:ttyS0\n");
        openPage();
        // A change enables the tab's Save, also one that comes back to USB.
        combo("comboBox")->setCurrentText(QStringLiteral("RS232"));
        combo("comboBox")->setCurrentText(connector);
        if (connector == QLatin1String("RS232"))
            combo("comboBox_2")->setCurrentIndex(entry);
        if (openToNetworks)
            window->findChild<QCheckBox *>(QStringLiteral("checkBoxnisany"))->click();
        button("pushButton_saveupsconf")->click();
        QTRY_VERIFY(!peers->control->isConfigSaveRunning());

        QCOMPARE(registry->getKey(QStringLiteral("upscontype")), storedConnector);
        QCOMPARE(registry->getKey(QStringLiteral("uspcomport")), storedPort);
        QVERIFY(readFileBytes(confPath())
                        .contains("UPSCONTYPE:" + storedConnector.toLatin1() + "\n"));
        if (deviceLine.isEmpty()) {
            // Said on the tab.
            QVERIFY(!label("tab_4_problem").isEmpty());
            return;
        }
        const QByteArray conf = readFileBytes(file);
        QVERIFY2(conf.contains("\n" + deviceLine), conf.constData());
        QVERIFY(conf.contains(openToNetworks ? "\nNISIP 0.0.0.0\n" : "\nNISIP 127.0.0.1\n"));
        // The daemon stand-in was started on the new file.
        QVERIFY(readFileBytes(dir->filePath(QStringLiteral("daemon.starts"))).contains("started"));
        QVERIFY(!button("pushButton_saveupsconf")->isEnabled());
    }

    // The save waits for the user's password aside: meanwhile a power failure
    // reaches the tray, and a second save is refused with a word.
    void saveWaitsForAuthorisationAside()
    {
        useSystemd();
        const QString release = programs->filePath(QStringLiteral("authorised"));
        // The user takes their time to answer the password dialog.
        programs->addPkexec(helperTarget(),
                            "while [ ! -e '" + QFile::encodeName(release) +
                                    "' ]; do sleep 0.05; done\n");
        devices = QStringList{"Serial port (ttyS0)", "USB Serial Port (ttyUSB0)"};
        start(header + "UPSCONTYPE:USB\nUSPCOMPORT:ttyS0\n");
        auto *tray = window->findChild<TrayNotifier *>();
        QTRY_COMPARE_WITH_TIMEOUT(tray->iconResource(), QStringLiteral(":/icons/plug.ico"), 30000);
        openPage();
        combo("comboBox")->setCurrentText(QStringLiteral("RS232"));
        combo("comboBox_2")->setCurrentIndex(2);

        // How late a timer of the window's thread comes while the save waits.
        QElapsedTimer sinceTick;
        qint64 longestStall = 0;
        QTimer ticks;
        connect(&ticks, &QTimer::timeout,
                [&] { longestStall = qMax(longestStall, sinceTick.restart() - ticks.interval()); });
        ticks.start(10);
        sinceTick.start();
        button("pushButton_saveupsconf")->click();
        QTRY_VERIFY_WITH_TIMEOUT(!programs->commands().filter(QStringLiteral("pkexec|")).isEmpty(),
                                 30000);
        QCOMPARE(label("tab_4_state"),
                 QStringLiteral("Waiting for authorisation to change apcupsd.conf..."));

        combo("comboBox_2")->setCurrentIndex(1);
        button("pushButton_saveupsconf")->click();
        QVERIFY(label("tab_4_problem")
                        .startsWith(QStringLiteral("A save of apcupsd.conf is under way")));
        QVERIFY(simulator.execute(QStringLiteral("powerfail")));
        QTRY_COMPARE_WITH_TIMEOUT(tray->iconResource(), QStringLiteral(":/icons/plugnot.ico"),
                                  30000);
        // For a figure of the stall over a longer wait for the password.
        QTest::qWait(qEnvironmentVariableIntValue("VOLTRINE_AUTHORISATION_WAIT_MS"));
        QVERIFY(registry->getKey(QStringLiteral("upscontype")) == QLatin1String("USB"));

        writeFileContent(release, "");
        QTRY_VERIFY_WITH_TIMEOUT(!peers->control->isConfigSaveRunning(), 30000);
        qInfo("Longest stall of the window's thread during the save: %lld ms", longestStall);
        QCOMPARE(programs->commands().filter(QStringLiteral("pkexec|")).size(), 1);
        QVERIFY(fileContent(helperTarget()).contains("\nDEVICE /dev/ttyUSB0\n"));
        QCOMPARE(registry->getKey(QStringLiteral("upscontype")), QStringLiteral("RS232"));
        QCOMPARE(label("tab_4_state"), QStringLiteral("apcupsd.conf was saved."));
    }

    // With apcupsd stopped and a password needed to start it, nothing asks
    // for one until the user chooses "Start apcupsd".
    void startAsksOnlyWhenChosen()
    {
        useSystemd();
        writeFileContent(programs->filePath(QStringLiteral("password")), "");
        // Nothing answers: an answer would mean that some apcupsd runs.
        start(header + "UPSHOST:127.0.0.1\nUPSPORT:1\n");
        QLabel *notice = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT(
                (notice = window->findChild<QLabel *>(QStringLiteral("label_daemon"))) &&
                        notice->isVisible(),
                30000);
        QVERIFY(window->findChild<TrayNotifier *>()->toolTip().contains(
                QStringLiteral("apcupsd is not running")));
        const QString asked = QStringLiteral("systemctl|start|apcupsd.service");
        QVERIFY(!programs->commands().contains(asked));

        window->findChild<QAction *>(QStringLiteral("actionStartApcupsd"))->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(programs->commands().contains(asked), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(!notice->isVisible(), 30000);
        QVERIFY(!window->findChild<TrayNotifier *>()->toolTip().contains(
                QStringLiteral("apcupsd is not running")));
    }

    void apcServerSaveMovesClient()
    {
        UpsSimulator other;
        QVERIFY(other.listen());
        QVERIFY(other.execute(QStringLiteral("set UPSNAME other-ups")));
        start(header + "UPSHOST:127.0.0.1\nUPSPORT:" + QByteArray::number(simulator.port()) + "\n");
        QTRY_VERIFY_WITH_TIMEOUT(!label("label_STATUS").startsWith(QLatin1String("N/A")), 30000);
        openPage();
        edit("lineEdit_2")->setText(QString::number(other.port()));
        button("pushButton_saveapcupsd")->click();
        QVERIFY(!button("pushButton_saveapcupsd")->isEnabled());
        QTRY_COMPARE_WITH_TIMEOUT(label("label_UPSNAME"), QStringLiteral("other-ups"), 30000);
        QCOMPARE(registry->getKey(QStringLiteral("upsport")), QString::number(other.port()));
        QVERIFY(readFileBytes(confPath())
                        .contains("UPSPORT:" + QByteArray::number(other.port()) + "\n"));
    }

    void databaseSaveReconnects()
    {
        QVERIFY(server.createSchema(QStringLiteral("pagetest")));
        start(header);
        QVERIFY(!database->isConnected());
        openPage();
        // Saving does not wait for the server; a refusal is shown when it comes.
        setDatabaseFields(QStringLiteral("wrong-password"));
        // Every row sent from now on carries it, without a restart.
        edit("lineEditmachinenumber")->setText(QStringLiteral(" M7 "));
        button("pushButton_savedatabaseinfo")->click();
        QTRY_VERIFY_WITH_TIMEOUT(!peers->refusals.isEmpty(), 30000);
        QVERIFY(!database->isConnected());

        edit("lineEdit_8")->setText(server.password());
        button("pushButton_savedatabaseinfo")->click();
        QTRY_VERIFY_WITH_TIMEOUT(database->isConnected(), 30000);
        // Rows follow: the logging timer writes one at its next tick.
        core->setLoggingInterval(200);
        QTRY_VERIFY_WITH_TIMEOUT(
                server.query(QStringLiteral("SELECT COUNT(*) FROM upsmeasurements"),
                             QStringLiteral("pagetest"))
                                .value(0)
                                .toInt() > 0,
                30000);
        QCOMPARE(server.query(QStringLiteral("SELECT DISTINCT mcid FROM upsmeasurements"),
                              QStringLiteral("pagetest")),
                 QStringList{QStringLiteral("M7")});
    }

    void valuesThatCannotLoadAreRefused_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("save");
        QTest::addColumn<QString>("key");

        QTest::newRow("blank in host") << "lineEdit"
                                       << "ups host"
                                       << "pushButton_saveapcupsd"
                                       << "upshost";
        QTest::newRow("colon in host") << "lineEdit"
                                       << "ups:1"
                                       << "pushButton_saveapcupsd"
                                       << "upshost";
        QTest::newRow("empty port") << "lineEdit_2"
                                    << ""
                                    << "pushButton_saveapcupsd"
                                    << "upsport";
        QTest::newRow("at sign in user") << "lineEdit_7"
                                         << "me@host"
                                         << "pushButton_savedatabaseinfo"
                                         << "dbuser";
        QTest::newRow("empty database") << "lineEdit_6"
                                        << ""
                                        << "pushButton_savedatabaseinfo"
                                        << "dbname";
        QTest::newRow("empty password") << "lineEdit_8"
                                        << ""
                                        << "pushButton_savedatabaseinfo"
                                        << "dbpasswd";
        QTest::newRow("password beyond Latin-1") << "lineEdit_8"
                                                 << "s3cret\u20ac"
                                                 << "pushButton_savedatabaseinfo"
                                                 << "dbpasswd";
        // Wider than the mcid column.
        QTest::newRow("six characters in the machine number") << "lineEditmachinenumber"
                                                              << "M12345"
                                                              << "pushButton_savedatabaseinfo"
                                                              << "MachineNumber";
        QTest::newRow("machine number beyond Latin-1") << "lineEditmachinenumber"
                                                       << "M\u0141"
                                                       << "pushButton_savedatabaseinfo"
                                                       << "MachineNumber";
        // The port is the device name's text after its first "(".
        QTest::newRow("parentheses in the device name") << "comboBox_2"
                                                        << "USB Port (ttyUSB0 (Y))"
                                                        << "pushButton_saveupsconf"
                                                        << "uspcomport";
        // Which the helper that writes apcupsd.conf would refuse.
        QTest::newRow("dash in the device name") << "comboBox_2"
                                                 << "Adapter (tty-USB1)"
                                                 << "pushButton_saveupsconf"
                                                 << "uspcomport";
    }

    void valuesThatCannotLoadAreRefused()
    {
        QFETCH(QString, field);
        QFETCH(QString, value);
        QFETCH(QString, save);
        QFETCH(QString, key);

        devices = QStringList{QStringLiteral("Serial port (ttyS0)"),
                              QStringLiteral("USB Port (ttyUSB0 (Y))"),
                              QStringLiteral("Adapter (tty-USB1)")};
        start(header +
              "UPSHOST:localhost\nUPSPORT:3551\nDBHOST:127.0.0.1\nDBPORT:3306\nDBVDRIVER:5.3\n"
              "DBNAME:upslog\nDBUSER:monitor\nDBPASSWD:736563726574\nUPSCONTYPE:RS232\n"
              "USPCOMPORT:ttyS0\n");
        setMachineNumber(QStringLiteral("M1"));
        openPage();
        const QByteArray before = readFileBytes(confPath());
        const auto stored = [this, &key] {
            return key == QLatin1String("MachineNumber") ? machineNumber() : registry->getKey(key);
        };
        const QString storedBefore = stored();
        const auto enter = [this, &field](const QString &text) {
            if (field == QLatin1String("comboBox_2"))
                combo("comboBox_2")->setCurrentText(text);
            else
                edit(field.toLatin1())->setText(text);
        };
        enter(value);
        button(save.toLatin1())->click();

        QVERIFY(button(save.toLatin1())->isEnabled());
        QCOMPARE(stored(), storedBefore);
        QCOMPARE(readFileBytes(confPath()), before);
        const auto problems =
                window->findChildren<QLabel *>(QRegularExpression(QStringLiteral("_problem$")));
        bool said = false;
        for (const QLabel *problem : problems) {
            said = said || (!problem->isHidden() && problem->text().contains(key));
            // A password is never shown.
            if (key == QLatin1String("dbpasswd") && !value.isEmpty())
                QVERIFY(!problem->text().contains(value));
        }
        QVERIFY(said);

        // A loadable value then saves, and the message goes.
        enter(field == QLatin1String("comboBox_2") ? QStringLiteral("Serial port (ttyS0)")
                                                   : QStringLiteral("fine1"));
        button(save.toLatin1())->click();
        QVERIFY(!button(save.toLatin1())->isEnabled());
        QTRY_VERIFY(!peers->control->isConfigSaveRunning());
        for (const QLabel *problem : problems)
            QVERIFY(problem->isHidden());
    }

    void generalSaveStoresStartMinimised()
    {
        start(header + "STARTMINIMISED:false\n");
        openPage();
        auto *box = window->findChild<QCheckBox *>(QStringLiteral("checkBoxstartminimised"));
        QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(5, box->height() / 2));
        QVERIFY(box->isChecked());
        button("pushButtonSavegeneral")->click();
        QVERIFY(readFileBytes(confPath()).contains("STARTMINIMISED:true\n"));
        QVERIFY(!button("pushButtonSavegeneral")->isEnabled());
    }

private:
    QString confPath() const { return dir->filePath(QStringLiteral("confdata")); }
    static QString machineNumber()
    {
        return openUserRegistry(QStringLiteral("Administration"))
                ->value(QStringLiteral("MachineNumber"))
                .toString();
    }
    static void setMachineNumber(const QString &number)
    {
        openUserRegistry(QStringLiteral("Administration"))
                ->setValue(QStringLiteral("MachineNumber"), number);
    }
    QString helperTarget() const { return programs->filePath(QStringLiteral("apcupsd.conf")); }

    // The local apcupsd under systemd, administered as a user: systemctl and
    // pkexec are stand-ins that record their runs, and the real helper writes
    // its file in the stand-ins' folder.
    void useSystemd()
    {
        programs = std::make_unique<StandInPrograms>();
        programs->addSystemctl();
        programs->addPkexec(helperTarget());
        const QString bin = programs->binDir();
        adjustProfile = [bin](InstallationProfile &profile) {
            profile.daemonControl = InstallationProfile::DaemonControl::Systemd;
            profile.administrator = false;
            profile.systemctlProgram = bin + QStringLiteral("/systemctl");
            profile.configHelper = QStringList{bin + QStringLiteral("/pkexec"),
                                               QStringLiteral(VOLTRINE_CONF_HELPER)};
            // Not writable from here: the save goes through the helper.
            profile.configFile = bin + QStringLiteral("/absent/apcupsd.conf");
        };
    }

    void start(const QByteArray &confdata)
    {
        QByteArray content = confdata;
        if (!content.contains("STARTMINIMISED:"))
            content += "STARTMINIMISED:false\n";
        if (!content.contains("UPSHOST:"))
            content += "UPSHOST:127.0.0.1\nUPSPORT:" + QByteArray::number(simulator.port()) + "\n";
        QVERIFY(writeFileBytes(confPath(), content));
        peers = std::make_unique<WindowSubsystems>(
                dir->path(), [this](InstallationProfile &profile) {
                    profile.deviceListing = [this] { return devices; };
                    profile.deviceFilter = deviceFilter;
                    if (adjustProfile)
                        adjustProfile(profile);
                });
        registry = peers->registry.get();
        client = peers->client.get();
        database = peers->database.get();
        core = peers->core.get();
        window = std::make_unique<MainWindow>(peers->subsystems());
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }

    void openPage()
    {
        window->findChild<QAction *>(QStringLiteral("actionConfiguration"))->trigger();
    }

    void setDatabaseFields(const QString &password)
    {
        edit("lineEdit_3")->setText(server.host());
        edit("lineEdit_4")->setText(QString::number(server.port()));
        edit("lineEdit_5")->setText(QStringLiteral("5.3"));
        edit("lineEdit_6")->setText(QStringLiteral("pagetest"));
        edit("lineEdit_7")->setText(server.user());
        edit("lineEdit_8")->setText(password);
    }

    QStringList enabledSaves() const
    {
        QStringList enabled;
        for (const char *name : {"pushButtonSavegeneral", "pushButton_saveapcupsd",
                                 "pushButton_savedatabaseinfo", "pushButton_saveupsconf"}) {
            if (button(name)->isEnabled())
                enabled.append(QLatin1String(name));
        }
        return enabled;
    }

    QLineEdit *edit(const char *name) const
    {
        return window->findChild<QLineEdit *>(QLatin1String(name));
    }
    QPushButton *button(const char *name) const
    {
        return window->findChild<QPushButton *>(QLatin1String(name));
    }
    QComboBox *combo(const char *name) const
    {
        return window->findChild<QComboBox *>(QLatin1String(name));
    }
    QTimeEdit *timeEdit() const
    {
        return window->findChild<QTimeEdit *>(QStringLiteral("timeEdit"));
    }
    QStackedWidget *page() const
    {
        return window->findChild<QStackedWidget *>(QStringLiteral("stackedWidget"));
    }
    QString label(const char *name) const
    {
        return window->findChild<QLabel *>(QLatin1String(name))->text();
    }

    TestMariaDb server;
    UpsSimulator simulator;
    QStringList devices;
    QString deviceFilter;
    std::function<void(InstallationProfile &)> adjustProfile;
    std::unique_ptr<StandInPrograms> programs;
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<WindowSubsystems> peers;
    Registry *registry = nullptr;
    COMThrd *client = nullptr;
    DataBase *database = nullptr;
    Core *core = nullptr;
    std::unique_ptr<MainWindow> window;
};

QTEST_MAIN(TestConfigurationPage)
#include "tst_configurationpage.moc"
