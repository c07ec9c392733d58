// A desktop without a notification area (stock GNOME): the window stays
// reachable. It is shown at the start although "Start minimized" is on, it is
// minimised rather than hidden when closed, File offers Exit, and the tool
// bar says why. A tray host that starts brings back the tray's ways; one that
// ends brings back the window hidden in it. On the X platform of a virtual
// display, with a real tray host started and ended.
#include "mainwindow.h"
#include "trayhost.h"
#include "traynotifier.h"
#include "windowsubsystems.h"

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QToolBar>
#include <QtTest>

#include <memory>

class TestNotificationArea : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        const QByteArray desktop = qgetenv("VOLTRINE_TEST_DESKTOP");
        if (desktop != "1")
            QSKIP(desktop.isEmpty() ? "no virtual desktop: run through "
                                      "tests/support/on-desktop-without-tray"
                                    : desktop.data());
        QVERIFY(dir.isValid());
        QVERIFY(QDir::setCurrent(dir.path()));
        qputenv("HOME", dir.path().toLocal8Bit());
        qputenv("XDG_CONFIG_HOME", dir.filePath(QStringLiteral("config")).toLocal8Bit());
        // "Start minimized" is on, as at a first start; nothing answers on port 1.
        QVERIFY(writeFileBytes(dir.filePath(QStringLiteral("confdata")),
                               "Voltrine:Configuration\nVersion:1.1\nUPSHOST:127.0.0.1\n"
                               "UPSPORT:1\n"));
        peers = std::make_unique<WindowSubsystems>(dir.path());
        // The desktop session's own word.
        peers->trayHost.reset();
    }

    void cleanupTestCase()
    {
        window.reset();
        peers.reset();
        if (trayer.state() != QProcess::NotRunning) {
            trayer.kill();
            trayer.waitForFinished();
        }
    }

    void windowFollowsTheTrayHost()
    {
        window = std::make_unique<MainWindow>(peers->subsystems());
        auto *tray = window->findChild<TrayNotifier *>();
        QVERIFY(tray);
        QSignalSpy balloons(tray, &TrayNotifier::messageShown);
        auto *host = window->findChild<TrayHost *>();
        QVERIFY(host);
        QVERIFY(!host->isAvailable());
        window->show();
        auto *startTimer = window->findChild<QTimer *>(QString(), Qt::FindDirectChildrenOnly);
        QTRY_VERIFY(startTimer && !startTimer->isActive());
        QVERIFY(window->isVisible());
        QVERIFY(!window->isMinimized());
        QVERIFY(notice()->isVisible());
        QVERIFY(fileExit()->isVisible());

        QVERIFY(!window->close());
        QVERIFY(window->isVisible());
        QVERIFY(window->isMinimized());
        QCOMPARE(balloons.count(), 0);

        // A tray host starts: closing hides the window to the tray again.
        window->showNormal();
        trayer.start(QStringLiteral("trayer"),
                     {QStringLiteral("--edge"), QStringLiteral("bottom"),
                      QStringLiteral("--SetDockType"), QStringLiteral("true")});
        QVERIFY(trayer.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(host->isAvailable(), 30000);
        QVERIFY(!notice()->isVisible());
        QVERIFY(!fileExit()->isVisible());
        QVERIFY(!window->close());
        QVERIFY(!window->isVisible());
        QCOMPARE(balloons.count(), 1);

        // It ends: the window hidden in it comes back.
        trayer.kill();
        QVERIFY(trayer.waitForFinished());
        QTRY_VERIFY_WITH_TIMEOUT(window->isVisible(), 30000);
        QVERIFY(!host->isAvailable());
        QTRY_VERIFY(notice()->isVisible());
    }

private:
    QLabel *notice() const { return window->findChild<QLabel *>(QStringLiteral("label_notray")); }
    QAction *fileExit() const { return window->findChild<QAction *>(QStringLiteral("actionQuit")); }

    QTemporaryDir dir;
    std::unique_ptr<WindowSubsystems> peers;
    std::unique_ptr<MainWindow> window;
    QProcess trayer;
};

QTEST_MAIN(TestNotificationArea)
#include "tst_notificationarea.moc"
