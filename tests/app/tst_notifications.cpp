// A power failure seen by the real window reaches the desktop's notification
// service (dunst on a session bus of its own, tests/support/with-dunst) as one
// critical notification, the status before it as one normal notification, and
// nothing else: no second popup for one message.

#include "mainwindow.h"
#include "offscreentray.h"
#include "simulatedrecord.h"
#include "traynotifier.h"
#include "upssimulator.h"
#include "windowsubsystems.h"

#include <QAction>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

class TestNotifications : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void powerFailure();

private:
    void changeAndWait(const std::function<void(UpsModel &)> &change);
    // Closes what dunst shows, so that every notification it has had is in its
    // history; empty while some is not there yet.
    QStringList history();

    QTemporaryDir dir;
    std::unique_ptr<UpsSimulator> sim;
    std::unique_ptr<WindowSubsystems> peers;
    std::unique_ptr<MainWindow> window;
    int marker = 0;
};

namespace {
QByteArray dunstctl(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral("dunstctl"), arguments);
    if (!process.waitForFinished(10000) || process.exitCode() != 0)
        return QByteArray();
    return process.readAllStandardOutput();
}
} // namespace

void TestNotifications::initTestCase()
{
    const QByteArray dunst = qgetenv("VOLTRINE_TEST_DUNST");
    if (dunst != "1")
        QSKIP(dunst.isEmpty() ? "no dunst: run through tests/support/with-dunst" : dunst.data());
    OffscreenTray::silence();
    QVERIFY(dir.isValid());
    QVERIFY(QDir::setCurrent(dir.path()));
    qputenv("HOME", dir.path().toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", dir.filePath(QStringLiteral("config")).toLocal8Bit());

    sim = std::make_unique<UpsSimulator>();
    QVERIFY(sim->listen());
    QVERIFY(writeFileBytes(dir.filePath(QStringLiteral("confdata")),
                           "Voltrine:Configuration\nVersion:1.1\nSTARTMINIMISED:false\n"
                           "UPSHOST:127.0.0.1\nUPSPORT:" +
                                   QByteArray::number(sim->port()) + "\n"));
    peers = std::make_unique<WindowSubsystems>(dir.path());
    window = std::make_unique<MainWindow>(peers->subsystems());
    // Shown: a hidden window's labels, which say when a record has arrived, wait.
    window->show();
    QTRY_VERIFY_WITH_TIMEOUT(
            !window->findChild<QAction *>(QStringLiteral("actionStart"))->isEnabled(), 30000);
    changeAndWait([](UpsModel &) {});
}

void TestNotifications::cleanupTestCase()
{
    window.reset();
    peers.reset();
    sim.reset();
}

void TestNotifications::changeAndWait(const std::function<void(UpsModel &)> &change)
{
    changeAndWaitForRecord(*sim, *window, marker, change);
}

QStringList TestNotifications::history()
{
    dunstctl({QStringLiteral("close-all")});
    if (dunstctl({QStringLiteral("count"), QStringLiteral("displayed")}).trimmed() != "0" ||
        dunstctl({QStringLiteral("count"), QStringLiteral("waiting")}).trimmed() != "0")
        return QStringList();
    QStringList messages;
    const QJsonArray entries = QJsonDocument::fromJson(dunstctl({QStringLiteral("history")}))
                                       .object()[QStringLiteral("data")]
                                       .toArray()
                                       .first()
                                       .toArray();
    for (const auto &entry : entries)
        messages.append(entry.toObject()[QStringLiteral("message")]
                                .toObject()[QStringLiteral("data")]
                                .toString());
    return messages;
}

void TestNotifications::powerFailure()
{
    auto *tray = window->findChild<TrayNotifier *>();
    QVERIFY(tray);
    QSignalSpy messages(tray, &TrayNotifier::messageShown);
    changeAndWait([](UpsModel &ups) { ups.powerFail(); });
    QCOMPARE(messages.count(), 1);

    // Asked on the window's own connection, after the notification it sent:
    // dunst has had that by the time it answers.
    const QDBusMessage answer = QDBusConnection::sessionBus().call(
            QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.Notifications"),
                                           QStringLiteral("/org/freedesktop/Notifications"),
                                           QStringLiteral("org.freedesktop.Notifications"),
                                           QStringLiteral("GetServerInformation")));
    QCOMPARE(answer.type(), QDBusMessage::ReplyMessage);
    QStringList shown;
    QTRY_VERIFY_WITH_TIMEOUT(!(shown = history()).isEmpty(), 10000);
    // The normal one may have expired before the other was closed: any order.
    shown.sort();
    QCOMPARE(shown,
             QStringList({QStringLiteral("critical|Voltrine|Voltrine STATUS|ONBATT"),
                          QStringLiteral("normal|Voltrine|Voltrine STATUS|ONLINE")}));
}

QTEST_MAIN(TestNotifications)
#include "tst_notifications.moc"
