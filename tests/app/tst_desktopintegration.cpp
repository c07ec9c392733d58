// The program as a Linux desktop program: where its files live, the
// autostart entry of the General tab, values longer than their labels, and
// the UPS Configuration tab of a user who cannot change apcupsd.conf.
#include "desktopintegration.h"
#include "offscreentray.h"
#include "testfiles.h"
#include "windowsubsystems.h"

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QtTest>

#include <memory>

class TestDesktopIntegration : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString home;
    QString elsewhere;

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        home = dir.filePath(QStringLiteral("home"));
        elsewhere = dir.filePath(QStringLiteral("elsewhere"));
        QVERIFY(QDir().mkpath(home) && QDir().mkpath(elsewhere));
        qputenv("HOME", QFile::encodeName(home));
        qunsetenv("XDG_DATA_HOME");
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.filePath(QStringLiteral("config"))));
        OffscreenTray::silence();
        DesktopIntegration::useFormFont();
    }

    void dataFolder_data()
    {
        QTest::addColumn<QString>("startedIn"); // "home", "root" or "elsewhere"
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<bool>("dataFolder");
        QTest::newRow("menu entry") << "elsewhere" << QStringList{"--desktop"} << true;
        QTest::newRow("launcher in the home folder") << "home" << QStringList() << true;
        QTest::newRow("launcher in /") << "root" << QStringList() << true;
        QTest::newRow("terminal in a folder") << "elsewhere" << QStringList() << false;
    }

    void dataFolder()
    {
        QFETCH(QString, startedIn);
        QFETCH(QStringList, options);
        QFETCH(bool, dataFolder);
        const QString start = startedIn == QLatin1String("home") ? home
                : startedIn == QLatin1String("root")             ? QDir::rootPath()
                                                                 : elsewhere;
        QVERIFY(QDir::setCurrent(start));
        const QString expected =
                dataFolder ? home + QStringLiteral("/.local/share/Voltrine") : start;
        QCOMPARE(DesktopIntegration::chooseDataFolder(QStringList{"voltrine"} + options), expected);
        QCOMPARE(QDir::currentPath(), expected);
        if (dataFolder) {
            // Neither the group nor others may look in.
            const QFileDevice::Permissions others = QFileDevice::ReadGroup |
                    QFileDevice::WriteGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther |
                    QFileDevice::WriteOther | QFileDevice::ExeOther;
            QCOMPARE(QFile::permissions(expected) & others, QFileDevice::Permissions());
        }
    }

    void autostartEntryFollowsTheCheckBox()
    {
        QVERIFY(QDir::setCurrent(dir.path()));
        QVERIFY(writeFileBytes(dir.filePath(QStringLiteral("confdata")),
                               "Voltrine:Configuration\nVersion:1.1\nUPSHOST:127.0.0.1\n"
                               "UPSPORT:1\nSTARTMINIMISED:false\n"));
        WindowSubsystems peers(dir.path());
        MainWindow window(peers.subsystems());
        window.findChild<QAction *>(QStringLiteral("actionConfiguration"))->trigger();
        auto *box = window.findChild<QCheckBox *>(QStringLiteral("checkBoxautostart"));
        QVERIFY(box);
        auto *save = window.findChild<QPushButton *>(QStringLiteral("pushButtonSavegeneral"));
        const QString entry = dir.filePath(QStringLiteral("config/autostart/voltrine.desktop"));

        QVERIFY(!box->isChecked());
        QTest::mouseClick(box, Qt::LeftButton);
        QVERIFY(save->isEnabled());
        save->click();
        const QByteArray text = readFileBytes(entry);
        QVERIFY2(text.contains("\nExec=\"" +
                               QFile::encodeName(QCoreApplication::applicationFilePath()) +
                               "\" --desktop\n"),
                 text.constData());
        QVERIFY(text.startsWith("[Desktop Entry]\nType=Application\n"));

        QTest::mouseClick(box, Qt::LeftButton);
        save->click();
        QVERIFY(!QFile::exists(entry));
    }

    void autostartEntryStartsTheProgramAtAnyPath_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::newRow("blank") << "my programs";
        QTest::newRow("backslash") << "back\\slash";
        QTest::newRow("quote, dollar sign and backquote") << "a\"b$HOME`c";
    }

    void autostartEntryStartsTheProgramAtAnyPath()
    {
        QFETCH(QString, folder);
        // The entry's Exec, read by GLib as a desktop session reads it,
        // starts the program at that path with --desktop.
        const QString gio = QStandardPaths::findExecutable(QStringLiteral("gio"));
        if (gio.isEmpty())
            QSKIP("needs gio (libglib2.0-bin)");
        QTemporaryDir place;
        QVERIFY(QDir(place.path()).mkpath(folder));
        const QString program = place.filePath(folder + QStringLiteral("/voltrine"));
        const QString started = place.filePath(QStringLiteral("started"));
        QVERIFY(writeFileBytes(program,
                               "#!/bin/sh\necho \"$@\" > '" + QFile::encodeName(started) + "'\n"));
        QVERIFY(QFile::setPermissions(
                program, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
        const QString entry = place.filePath(QStringLiteral("voltrine.desktop"));
        QVERIFY(writeFileBytes(entry,
                               "[Desktop Entry]\nType=Application\nName=Voltrine\nExec=" +
                                       DesktopIntegration::execValue(program).toUtf8() + "\n"));
        const auto run = [](const QString &command, const QStringList &arguments) {
            QProcess process;
            process.setProcessChannelMode(QProcess::MergedChannels);
            process.start(command, arguments);
            process.waitForFinished(30000);
            return process.exitCode() == 0 ? QString() : QString::fromLocal8Bit(process.readAll());
        };
        QCOMPARE(run(QStringLiteral("desktop-file-validate"), {entry}), QString());
        QCOMPARE(run(gio, {QStringLiteral("launch"), entry}), QString());
        QTRY_COMPARE_WITH_TIMEOUT(readFileBytes(started), QByteArray("--desktop\n"), 10000);
    }

    void longValueIsElidedWithTooltip_data()
    {
        QTest::addColumn<bool>("wordWrap");
        QTest::addColumn<int>("pointSize");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("elided");
        QTest::newRow("short") << false << 8 << "Back-UPS ES 700G" << false;
        QTest::newRow("long") << false << 8 << "Back-UPS XS 1500G with a very long model name"
                              << true;
        QTest::newRow("long, two lines")
                << true << 8 << "Low line voltage, high line voltage, and a self test, all at once"
                << true;
        // Measured in this font, not in the one the rows above measured.
        QTest::newRow("short, larger font") << false << 16 << "Back-UPS ES 700G" << true;
    }

    void longValueIsElidedWithTooltip()
    {
        QFETCH(bool, wordWrap);
        QFETCH(int, pointSize);
        QFETCH(QString, text);
        QFETCH(bool, elided);
        // The size and font of the model and transfer reason rows.
        QLabel label;
        QFont font = label.font();
        font.setPointSize(pointSize);
        label.setFont(font);
        label.setWordWrap(wordWrap);
        label.setGeometry(0, 0, 141, qMax(wordWrap ? 31 : 21, QFontMetrics(font).height()));
        DesktopIntegration::setFittedText(&label, text);
        QCOMPARE(label.text() != text, elided);
        QCOMPARE(label.toolTip(), elided ? text : QString());
        const QRect room = label.contentsRect();
        const QRect needed = label.fontMetrics().boundingRect(
                room, int(label.alignment()) | (wordWrap ? Qt::TextWordWrap : 0), label.text());
        QVERIFY(needed.width() <= room.width() && needed.height() <= room.height());
        if (elided)
            QVERIFY(label.text().endsWith(QChar(0x2026)));
    }

    void userWithoutRightsIsToldOnTheUpsTab()
    {
        QVERIFY(QDir::setCurrent(dir.path()));
        const QString conf = dir.filePath(QStringLiteral("absent/apcupsd.conf"));
        WindowSubsystems peers(dir.path(), [&](InstallationProfile &profile) {
            profile.daemonControl = InstallationProfile::DaemonControl::Unmanaged;
            profile.administrator = false;
            profile.configFile = conf;
        });
        MainWindow window(peers.subsystems());
        window.findChild<QAction *>(QStringLiteral("actionConfiguration"))->trigger();
        auto *message = window.findChild<QLabel *>(QStringLiteral("tab_4_problem"));
        QVERIFY(message);
        QVERIFY(!message->isHidden());
        QCOMPARE(message->text(),
                 QStringLiteral("Changing the UPS connection needs administrator rights: %1 can "
                                "only be changed by root here.")
                         .arg(conf));
    }
};

QTEST_MAIN(TestDesktopIntegration)
#include "tst_desktopintegration.moc"
