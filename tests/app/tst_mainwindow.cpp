#include "apcupsdcontrol.h"
#include "comthrd.h"
#include "core.h"
#include "database.h"
#include "journalreader.h"
#include "logs.h"
#include "mainwindow.h"
#include "messagebox.h"
#include "offscreentray.h"
#include "registry.h"
#include "testfiles.h"
#include "traynotifier.h"
#include "windowsubsystems.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimeEdit>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

QStringList actionTexts(const QList<QAction *> &actions)
{
    QStringList texts;
    for (const QAction *action : actions)
        texts.append(action->isSeparator() ? QStringLiteral("-") : action->text());
    return texts;
}

// Notes the framework's request to quit, which it posts to the application
// when the last window has closed.
struct QuitRequestWatch final : QObject
{
    QuitRequestWatch() { QCoreApplication::instance()->installEventFilter(this); }
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == QCoreApplication::instance() && event->type() == QEvent::Quit)
            requested = true;
        return false;
    }
    bool requested = false;
};

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(workDir.isValid());
        // confdata and Trace.log belong in the working directory.
        QVERIFY(QDir::setCurrent(workDir.path()));
        qputenv("XDG_CONFIG_HOME", workDir.filePath(QStringLiteral("config")).toLocal8Bit());
        OffscreenTray::silence();

        QVERIFY(writeFileBytes(
                workDir.filePath(QStringLiteral("confdata")),
                "Voltrine:Configuration\nVersion:1.1\n"
                // Nothing listens on port 1; no database is set.
                "UPSHOST:127.0.0.1\nUPSPORT:1\n"
                // The window stays shown for these tests; starting hidden has its own.
                "STARTMINIMISED:false\n"));
        peers = std::make_unique<WindowSubsystems>(workDir.path());
        logs = peers->logs.get();
        registry = peers->registry.get();
        client = peers->client.get();
        database = peers->database.get();
        core = peers->core.get();
    }

    void cleanupTestCase()
    {
        window.reset();
        peers.reset();
    }

    void init()
    {
        window = std::make_unique<MainWindow>(peers->subsystems());
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        tray = window->findChild<TrayNotifier *>();
        QVERIFY(tray);
        trayIcon = window->findChild<QSystemTrayIcon *>();
        QVERIFY(trayIcon);
        balloons = std::make_unique<QSignalSpy>(tray, &TrayNotifier::messageShown);
    }

    void cleanup()
    {
        balloons.reset();
        window.reset();
    }

    void filesAppearInWorkingDirectory()
    {
        QFile confdata(QStringLiteral("confdata"));
        QVERIFY(confdata.open(QIODevice::ReadOnly));
        QVERIFY(confdata.readAll().startsWith("Voltrine:Configuration\nVersion:1.1\n"));
        QFile trace(QStringLiteral("Trace.log"));
        QVERIFY(trace.open(QIODevice::ReadOnly));
        const QByteArray log = trace.readAll();
        QVERIFY(log.startsWith("\n\nVoltrine Version 1.1 Log session started "));
        const int begin = log.indexOf("]: Loading secance Begin");
        QVERIFY(log.indexOf("]: Loading configuration") >= 0);
        QVERIFY(begin > log.indexOf("]: Loading configuration"));
        QVERIFY(log.indexOf("]: Loading secance End") > begin);
    }

    void windowFrame()
    {
        QCOMPARE(window->windowTitle(), QStringLiteral("Voltrine v 1.0.0.2"));
        const Qt::WindowFlags flags = window->windowFlags();
        QVERIFY(flags & Qt::WindowTitleHint);
        QVERIFY(flags & Qt::WindowMinimizeButtonHint);
        QVERIFY(flags & Qt::WindowCloseButtonHint);
        QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
        QVERIFY(!window->statusBar()->isVisible());

        QCOMPARE(window->minimumSize(), window->maximumSize());
        QCOMPARE(window->size(), window->maximumSize());
        QCOMPARE(window->width(), 476);
        const QSize fixed = window->size();
        window->resize(800, 700);
        QCOMPARE(window->size(), fixed);

        QCOMPARE(window->findChild<QStackedWidget *>(QStringLiteral("stackedWidget"))
                         ->currentIndex(),
                 0);
        auto *tabs = window->findChild<QTabWidget *>(QStringLiteral("tabWidget"));
        QCOMPARE(tabs->currentIndex(), 0);
        QStringList captions;
        for (int i = 0; i < tabs->count(); ++i)
            captions.append(tabs->tabText(i));
        QCOMPARE(captions, (QStringList{"Status", "Events", "History"}));
    }

    void menus()
    {
        QMenuBar *bar = window->findChild<QMenuBar *>(QStringLiteral("menuBar"));
        QVERIFY(bar);
        QVERIFY(!bar->isNativeMenuBar());
        QCOMPARE(actionTexts(bar->actions()),
                 (QStringList{QStringLiteral("File"), QStringLiteral("Tools")}));
        auto *file = window->findChild<QMenu *>(QStringLiteral("menuFile"));
        QCOMPARE(actionTexts(file->actions()),
                 (QStringList{QStringLiteral("Monitoring"), QStringLiteral("-"),
                              QStringLiteral("Close")}));
        auto *monitoring = window->findChild<QMenu *>(QStringLiteral("menuMonitoring"));
        QCOMPARE(actionTexts(monitoring->actions()),
                 (QStringList{QStringLiteral("Start"), QStringLiteral("Stop")}));
        auto *tools = window->findChild<QMenu *>(QStringLiteral("menuTools"));
        QCOMPARE(actionTexts(tools->actions()), QStringList{QStringLiteral("Configuration")});

        auto *autoTest = window->findChild<QAction *>(QStringLiteral("actionStart_Auto_test"));
        QVERIFY(autoTest);
        QCOMPARE(autoTest->text(), QStringLiteral("Start Auto-test"));
        for (const QMenu *menu : window->findChildren<QMenu *>())
            QVERIFY(!menu->actions().contains(autoTest));
        QVERIFY(autoTest->associatedWidgets().isEmpty());
    }

    void initialValueLabels_data()
    {
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("text");

        const QString notAvailable = QStringLiteral("N/A");
        // Linux shows no time before one is received, rather than its format.
#ifdef Q_OS_WIN
        const QString datePattern = QStringLiteral("yyyy-MM-dd hh:mm:ss +hh");
#else
        const QString datePattern;
#endif
        const char *const keys[] = {"VERSION",  "VERSION_2", "VERSION_3", "VERSION_4", "UPSMODE",
                                    "CABLE",    "DRIVER",    "STATUS",    "MODEL",     "SERIALNO",
                                    "FIRMWARE", "UPSNAME",   "NOMINV",    "NOMBATTV",  "NOMPOWER",
                                    "MBATTCHG", "LOTRANS",   "HITRANS",   "SENSE",     "BATTDATE",
                                    "ALARMDEL", "HOSTNAME",  "LINEV",     "BATTV",     "BCHARGE",
                                    "LOADPCT",  "TONBATT",   "TIMELEFT",  "MINTIMEL",  "MAXTIME",
                                    "STATFLAG", "NUMXFERS",  "XONBATT",   "XOFFBATT",  "CUMONBATT",
                                    "LASTXFER", "SELFTEST"};
        for (const char *key : keys)
            QTest::newRow(key) << QStringLiteral("label_") + QLatin1String(key) << notAvailable;
        for (const char *key : {"STARTTIME", "ENDAPC", "DATE"})
            QTest::newRow(key) << QStringLiteral("label_") + QLatin1String(key) << datePattern;
    }

    void initialValueLabels()
    {
        QFETCH(QString, label);
        QFETCH(QString, text);

        auto *widget = window->findChild<QLabel *>(label);
        QVERIFY2(widget, qPrintable(label));
        QCOMPARE(widget->text(), text);
        // A daemon's text is never rendered as markup.
        QCOMPARE(widget->textFormat(), Qt::PlainText);
        QVERIFY(widget->isVisibleTo(window.get()));
    }

    void configurationPageWidgets()
    {
        auto *combo = window->findChild<QComboBox *>(QStringLiteral("comboBox"));
        QCOMPARE(combo->count(), 2);
        QCOMPARE(combo->itemText(0), QStringLiteral("USB"));
        QCOMPARE(combo->itemText(1), QStringLiteral("RS232"));

        auto *refresh =
                window->findChild<QPushButton *>(QStringLiteral("pushButtonRefreshDevicesList"));
        QVERIFY(refresh->text().isEmpty());
        QVERIFY(!refresh->icon().isNull());

        QCOMPARE(window->findChild<QLineEdit *>(QStringLiteral("lineEdit_8"))->echoMode(),
                 QLineEdit::Password);
        QVERIFY(window->findChild<QLineEdit *>(QStringLiteral("lineEdit_7"))->text().isEmpty());
        QVERIFY(window->findChild<QPushButton *>(QStringLiteral("pushButton"))->isHidden());
        QCOMPARE(window->findChild<QTabWidget *>(QStringLiteral("tabWidget_3"))->currentIndex(), 0);

        auto *interval = window->findChild<QTimeEdit *>(QStringLiteral("timeEdit"));
        QCOMPARE(interval->displayFormat(), QStringLiteral("mm:ss"));
        interval->setTime(QTime(0, 0, 30));
        QCOMPARE(interval->time(), QTime(0, 1, 0));
        interval->setTime(QTime(1, 30, 0));
        QCOMPARE(interval->time(), QTime(0, 59, 59));
    }

    void trayMenu()
    {
        QVERIFY(trayIcon->isVisible());
        QVERIFY(trayIcon->toolTip().isEmpty());
        QVERIFY(trayIcon->contextMenu());
        QCOMPARE(actionTexts(trayIcon->contextMenu()->actions()),
                 (QStringList{QStringLiteral("Exit"), QStringLiteral("-"), QStringLiteral("Hide"),
                              QStringLiteral("Show")}));
        // The start icon is the mains plug, told apart from the battery one.
        const auto look = [](const QIcon &icon) { return icon.pixmap(32).toImage(); };
        QCOMPARE(look(trayIcon->icon()), look(QIcon(QStringLiteral(":/icons/plug.ico"))));
        QVERIFY(look(trayIcon->icon()) != look(QIcon(QStringLiteral(":/icons/plugnot.ico"))));
    }

    void visibility_data()
    {
        QTest::addColumn<bool>("startVisible");
        QTest::addColumn<QString>("event");
        QTest::addColumn<bool>("endVisible");
        QTest::addColumn<bool>("balloon");

        QTest::newRow("close button hides with balloon") << true << "close" << false << true;
        QTest::newRow("File Close hides with balloon") << true << "file-close" << false << true;
        QTest::newRow("tray Hide hides with balloon") << true << "tray-hide" << false << true;
        QTest::newRow("double click hides silently") << true << "double-click" << false << false;
        QTest::newRow("tray Show while shown") << true << "tray-show" << true << false;
        QTest::newRow("single click does nothing") << true << "click" << true << false;
        QTest::newRow("context request does nothing") << true << "context" << true << false;
        QTest::newRow("middle click does nothing") << true << "middle-click" << true << false;
        QTest::newRow("tray Show shows") << false << "tray-show" << true << false;
        QTest::newRow("double click shows") << false << "double-click" << true << false;
        QTest::newRow("tray Hide while hidden") << false << "tray-hide" << false << false;
        QTest::newRow("File Close while hidden") << false << "file-close" << false << false;
        QTest::newRow("single click while hidden") << false << "click" << false << false;
    }

    void visibility()
    {
        QFETCH(bool, startVisible);
        QFETCH(QString, event);
        QFETCH(bool, endVisible);
        QFETCH(bool, balloon);

        if (!startVisible)
            window->hide();
        balloons->clear();

        if (event == QLatin1String("close"))
            QVERIFY(!window->close());
        else if (event == QLatin1String("file-close"))
            window->findChild<QAction *>(QStringLiteral("actionExit"))->trigger();
        else if (event == QLatin1String("tray-hide"))
            trayAction(QStringLiteral("Hide"))->trigger();
        else if (event == QLatin1String("tray-show"))
            trayAction(QStringLiteral("Show"))->trigger();
        else if (event == QLatin1String("double-click"))
            emit trayIcon->activated(QSystemTrayIcon::DoubleClick);
        else if (event == QLatin1String("click"))
            emit trayIcon->activated(QSystemTrayIcon::Trigger);
        else if (event == QLatin1String("context"))
            emit trayIcon->activated(QSystemTrayIcon::Context);
        else if (event == QLatin1String("middle-click"))
            emit trayIcon->activated(QSystemTrayIcon::MiddleClick);
        else
            QFAIL("unknown event");

        QCOMPARE(window->isVisible(), endVisible);
        QVERIFY(trayIcon->isVisible());
        QCOMPARE(balloons->count(), balloon ? 1 : 0);
        if (balloon) {
            const QList<QVariant> shown = balloons->takeFirst();
            QCOMPARE(shown.at(0).toString(), QStringLiteral("Voltrine"));
            QCOMPARE(shown.at(1).toString(), QStringLiteral("Running on background"));
            QCOMPARE(shown.at(2).value<QSystemTrayIcon::MessageIcon>(),
                     QSystemTrayIcon::Information);
            QCOMPARE(shown.at(3).toInt(), 2000);
        }
    }

    void minimisedWindowCountsAsVisible()
    {
        window->showMinimized();
        QVERIFY(window->isVisible());
        trayAction(QStringLiteral("Show"))->trigger();
        QVERIFY(window->isMinimized());
        QCOMPARE(balloons->count(), 0);

        trayAction(QStringLiteral("Hide"))->trigger();
        QVERIFY(!window->isVisible());
        QCOMPARE(balloons->count(), 1);
    }

    void startMinimised_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("hidden");
        QTest::addColumn<QString>("storedAfter");

        QTest::newRow("first start") << QByteArray() << true << "true";
        QTest::newRow("true") << QByteArray("STARTMINIMISED:true\n") << true << "true";
        QTest::newRow("false") << QByteArray("STARTMINIMISED:false\n") << false << "false";
        QTest::newRow("capitals are not true")
                << QByteArray("STARTMINIMISED:TRUE\n") << false << "TRUE";
        QTest::newRow("other word") << QByteArray("STARTMINIMISED:yes\n") << false << "yes";
    }

    void startMinimised()
    {
        QFETCH(QByteArray, line);
        QFETCH(bool, hidden);
        QFETCH(QString, storedAfter);

        window.reset();
        const QString path = workDir.filePath(QStringLiteral("startminimised-confdata"));
        QVERIFY(writeFileBytes(path, "Voltrine:Configuration\nVersion:1.1\n" + line));
        Registry own(logs, path);
        MainWindow::Subsystems subsystems = peers->subsystems();
        subsystems.registry = &own;
        MainWindow shown(subsystems);
        TrayNotifier *notifier = shown.findChild<TrayNotifier *>();
        QSignalSpy balloon(notifier, &TrayNotifier::messageShown);
        shown.show();
        auto *startTimer = shown.findChild<QTimer *>(QString(), Qt::FindDirectChildrenOnly);
        QVERIFY(startTimer);
        QTRY_VERIFY(!startTimer->isActive());
        QCOMPARE(shown.isVisible(), !hidden);
        QCOMPARE(balloon.count(), hidden ? 1 : 0);
        if (hidden)
            QCOMPARE(balloon.at(0).at(1).toString(), QStringLiteral("Running on background"));
        QCOMPARE(own.getKey(QStringLiteral("startminimised")), storedAfter);
    }

    void monitoringActions()
    {
        auto *start = window->findChild<QAction *>(QStringLiteral("actionStart"));
        auto *stop = window->findChild<QAction *>(QStringLiteral("actionStop"));
        // The core runs from the first window's start on.
        QTRY_VERIFY_WITH_TIMEOUT(core->isRunning(), 30000);

        // Start pressed while the run is still ending (it waits in its last
        // signal until this has run, after the window has enabled Start) does
        // nothing: the run ends, and Start stays available.
        bool pressedWhileEnding = false;
        bool startEnabledAfterPress = false;
        QMetaObject::Connection ending = connect(
                core, &Core::CoreStopped, this,
                [&] {
                    pressedWhileEnding = core->isRunning() && start->isEnabled();
                    start->trigger();
                    startEnabledAfterPress = start->isEnabled();
                },
                Qt::BlockingQueuedConnection);

        stop->trigger();
        QVERIFY(!stop->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(start->isEnabled(), 30000);
        QVERIFY(!stop->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(!client->isRunning(), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(!core->isRunning(), 30000);
        disconnect(ending);
        QVERIFY(pressedWhileEnding);
        QVERIFY(startEnabledAfterPress);
        QVERIFY(!stop->isEnabled());

        start->trigger();
        QVERIFY(!start->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(stop->isEnabled(), 30000);
        QVERIFY(!start->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(client->isRunning(), 30000);

        const QByteArray log = readFileBytes(QStringLiteral("Trace.log"));
        const int stopped = log.lastIndexOf("]: Monitoring Stoped");
        QVERIFY(stopped > 0);
        QVERIFY(log.indexOf("]: Monitoring Started", stopped) > stopped);
    }

    void noDatabaseSetKeepsRowsLocally()
    {
        // A first start: no database settings and none to import. Nobody is
        // asked anything and nothing is connected to; the rows stay local.
        QTRY_VERIFY_WITH_TIMEOUT(readFileBytes(QStringLiteral("Trace.log"))
                                         .contains("]: No database is set: rows are kept in the "
                                                   "local journal until one is set on the "
                                                   "Database tab"),
                                 30000);
        QVERIFY(peers->refusals.isEmpty());
        QVERIFY(!database->isConnected());
        const QByteArray log = readFileBytes(QStringLiteral("Trace.log"));
        QVERIFY(!log.contains("]: Can not connect to "));
        QVERIFY(!log.contains("]: Connected to "));

        const auto localRows = [this] {
            return readJournal(database->journalPath(),
                               QStringLiteral("SELECT state, monitorversion FROM upsmeasurements"));
        };
        core->setLoggingInterval(100);
        QTRY_VERIFY_WITH_TIMEOUT(localRows().size() >= 2, 30000);
        core->setLoggingInterval(600000);
        QStringList kinds = localRows();
        kinds.removeDuplicates();
        QCOMPARE(kinds, QStringList{QStringLiteral("2|1.0.0a.2")});
        QCOMPARE(database->unsentRows(), 0);
    }

    void quitAnsweredNoKeepsRunning_data()
    {
        QTest::addColumn<bool>("escape");
        QTest::newRow("No") << false;
        QTest::newRow("Escape") << true;
    }

    // The real box, with the window hidden as after a minimised start: the
    // box is then the last window to close, which must not end the program.
    void quitAnsweredNoKeepsRunning()
    {
        QFETCH(bool, escape);
        window->hide();
        const bool quit = quitCameAfterExit([escape](QMessageBox *box) {
            if (escape)
                QTest::keyClick(box, Qt::Key_Escape);
            else
                box->button(QMessageBox::No)->click();
        });
        QCOMPARE(quit, false);
        QCOMPARE(MessageBox::lastQuestion(), QStringLiteral("Quit?"));
        QVERIFY(!window->isVisible());
        QVERIFY(trayIcon->isVisible());
    }

    // Must stay last: it ends the window's life as the program's would end.
    void quitAnsweredYesEndsEventLoop()
    {
        QCOMPARE(
                quitCameAfterExit([](QMessageBox *box) { box->button(QMessageBox::Yes)->click(); }),
                true);
        QCOMPARE(MessageBox::lastQuestion(), QStringLiteral("Quit?"));
    }

private:
    QAction *trayAction(const QString &text) const
    {
        for (QAction *action : trayIcon->contextMenu()->actions()) {
            if (action->text() == text)
                return action;
        }
        return nullptr;
    }

    // Triggers tray "Exit" in the application's own event loop, where the
    // framework asks for a quit when the last window closes, and answers the
    // real question box with answer. True when a quit came: Exit's own (the
    // loop ends with 0) or the framework's request. Otherwise a call queued
    // once the question has returned ends the loop with 1.
    bool quitCameAfterExit(const std::function<void(QMessageBox *)> &answer)
    {
        QObject guard; // drops the queued call when the quit came first
        QTimer answerer;
        connect(&answerer, &QTimer::timeout, &guard, [&answerer, &answer] {
            for (QWidget *widget : QApplication::topLevelWidgets()) {
                auto *box = qobject_cast<QMessageBox *>(widget);
                if (box && box->isVisible()) {
                    answerer.stop();
                    answer(box);
                    return;
                }
            }
        });
        answerer.start(10);
        QTimer::singleShot(0, &guard, [this, &guard] {
            trayAction(QStringLiteral("Exit"))->trigger();
            QMetaObject::invokeMethod(
                    &guard, [] { QCoreApplication::exit(1); }, Qt::QueuedConnection);
        });
        QuitRequestWatch watch;
        return QCoreApplication::exec() == 0 || watch.requested;
    }

    QTemporaryDir workDir;
    std::unique_ptr<WindowSubsystems> peers;
    Logs *logs = nullptr;
    Registry *registry = nullptr;
    COMThrd *client = nullptr;
    DataBase *database = nullptr;
    Core *core = nullptr;
    std::unique_ptr<MainWindow> window;
    TrayNotifier *tray = nullptr;
    QSystemTrayIcon *trayIcon = nullptr;
    std::unique_ptr<QSignalSpy> balloons;
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
