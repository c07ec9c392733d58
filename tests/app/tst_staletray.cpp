// The tray while apcupsd does not answer: the simulator behind the real
// network client is stopped and started again. Silence turns the icon to the
// no-answer icon with one balloon and a tool tip saying since when; the
// return brings the icon STATUS calls for, with one balloon. A stopped
// monitoring run is never stale.

#include "answerwatch.h"
#include "mainwindow.h"
#include "offscreentray.h"
#include "simulatedrecord.h"
#include "traynotifier.h"
#include "upssimulator.h"
#include "windowsubsystems.h"

#include <QAction>
#include <QLabel>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {
const auto mainsIcon = QStringLiteral(":/icons/plug.ico");
const auto batteryIcon = QStringLiteral(":/icons/plugnot.ico");
const auto noAnswerIcon = QStringLiteral(":/icons/noanswer.ico");
const auto timeFormat = QStringLiteral("yyyy-MM-dd hh:mm:ss");
} // namespace

class TestStaleTray : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void silenceAndReturn_data();
    void silenceAndReturn();
    void stoppedIsNotStale();

private:
    // Changes the simulated UPS and waits until the window shows a record
    // carrying the change.
    void changeAndWait(const std::function<void(UpsModel &)> &change);
    QAction *action(const char *name) const
    {
        return window->findChild<QAction *>(QLatin1String(name));
    }

    QTemporaryDir dir;
    std::unique_ptr<UpsSimulator> sim;
    quint16 port = 0;
    std::unique_ptr<WindowSubsystems> peers;
    std::unique_ptr<MainWindow> window;
    TrayNotifier *tray = nullptr;
    int marker = 0;
};

void TestStaleTray::initTestCase()
{
    qRegisterMetaType<QSystemTrayIcon::MessageIcon>();
    OffscreenTray::silence();
    QVERIFY(dir.isValid());
    QVERIFY(QDir::setCurrent(dir.path()));
    qputenv("HOME", dir.path().toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", dir.filePath(QStringLiteral("config")).toLocal8Bit());

    sim = std::make_unique<UpsSimulator>();
    QVERIFY(sim->listen());
    port = sim->port();
    QVERIFY(writeFileBytes(dir.filePath(QStringLiteral("confdata")),
                           "Voltrine:Configuration\nVersion:1.1\nSTARTMINIMISED:false\n"
                           "UPSHOST:127.0.0.1\nUPSPORT:" +
                                   QByteArray::number(port) + "\n"));

    peers = std::make_unique<WindowSubsystems>(dir.path());
    window = std::make_unique<MainWindow>(peers->subsystems());
    tray = window->findChild<TrayNotifier *>();
    QVERIFY(tray);
    // Shown, so that what the window says can be seen.
    window->show();
    // Monitoring has started (CoreStarted disables Start).
    QTRY_VERIFY_WITH_TIMEOUT(!action("actionStart")->isEnabled(), 30000);
    changeAndWait([](UpsModel &) {});
}

void TestStaleTray::cleanupTestCase()
{
    window.reset();
    peers.reset();
    sim.reset();
}

void TestStaleTray::changeAndWait(const std::function<void(UpsModel &)> &change)
{
    changeAndWaitForRecord(*sim, *window, marker, change);
}

void TestStaleTray::silenceAndReturn_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("afterwards");
    QTest::addColumn<QString>("returnIcon");
    QTest::addColumn<bool>("silenceLasts");

    QTest::newRow("on mains, long silence")
            << QStringLiteral("ONLINE") << QStringLiteral("ONLINE") << mainsIcon << true;
    QTest::newRow("on battery") << QStringLiteral("ONBATT") << QStringLiteral("ONBATT")
                                << batteryIcon << false;
    QTest::newRow("mains failed meanwhile")
            << QStringLiteral("ONLINE") << QStringLiteral("ONBATT") << batteryIcon << false;
}

void TestStaleTray::silenceAndReturn()
{
    QFETCH(QString, before);
    QFETCH(QString, afterwards);
    QFETCH(QString, returnIcon);
    QFETCH(bool, silenceLasts);

    const QDateTime beforeLastRecord = QDateTime::currentDateTime();
    changeAndWait([&](UpsModel &ups) { ups.setValue(QStringLiteral("STATUS"), before); });
    QTRY_VERIFY(tray->iconResource() != noAnswerIcon);
    QSignalSpy messages(tray, &TrayNotifier::messageShown);

    sim->close();
    const QDateTime closed = QDateTime::currentDateTime();
    QTRY_COMPARE_WITH_TIMEOUT(tray->iconResource(), noAnswerIcon, 30000);
    if (silenceLasts)
        QTest::qWait(2 * AnswerWatch::staleAfterMs);
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.first().at(0).toString(), QStringLiteral("Voltrine STATUS"));
    QCOMPARE(messages.first().at(2).value<QSystemTrayIcon::MessageIcon>(),
             QSystemTrayIcon::Warning);
    const QString said = messages.first().at(1).toString();
    QCOMPARE(tray->toolTip(), said);
    // The window says it too, above its last values.
    auto *strip = window->findChild<QLabel *>(QStringLiteral("label_noanswer"));
    QVERIFY(strip && strip->isVisibleTo(window.get()));
    QCOMPARE(strip->text(), said);
    const QRegularExpressionMatch since =
            QRegularExpression(QStringLiteral("^No answer from apcupsd since (.+)$")).match(said);
    QVERIFY2(since.hasMatch(), qPrintable(said));
    // The last reply came between the record awaited and the stop.
    const QDateTime lastReply = QDateTime::fromString(since.captured(1), timeFormat);
    QVERIFY2(lastReply >= beforeLastRecord.addMSecs(-beforeLastRecord.time().msec()) &&
                     lastReply <= closed,
             qPrintable(said));

    messages.clear();
    sim->model().setValue(QStringLiteral("STATUS"), afterwards);
    QVERIFY2(sim->listen(port), qPrintable(sim->errorString()));
    QTRY_COMPARE_WITH_TIMEOUT(tray->iconResource(), returnIcon, 30000);
    // One more record, so that a second balloon would be seen.
    changeAndWait([](UpsModel &) {});
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.first().at(0).toString(), QStringLiteral("Voltrine STATUS"));
    QCOMPARE(messages.first().at(1).toString(), afterwards);
    QCOMPARE(tray->toolTip(), QString());
    QVERIFY(!strip->isVisibleTo(window.get()));
}

void TestStaleTray::stoppedIsNotStale()
{
    changeAndWait([](UpsModel &ups) { ups.resetValue(QStringLiteral("STATUS")); });
    QTRY_COMPARE(tray->iconResource(), mainsIcon);
    QSignalSpy messages(tray, &TrayNotifier::messageShown);

    action("actionStop")->trigger();
    QCOMPARE(tray->toolTip(), QStringLiteral("Monitoring stopped"));
    QTRY_VERIFY_WITH_TIMEOUT(action("actionStart")->isEnabled(), 30000);
    sim->close();
    QTest::qWait(2 * AnswerWatch::staleAfterMs);
    QCOMPARE(tray->iconResource(), mainsIcon);
    QCOMPARE(tray->toolTip(), QStringLiteral("Monitoring stopped"));
    QCOMPARE(messages.count(), 0);

    QVERIFY(sim->listen(port));
    action("actionStart")->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(action("actionStop")->isEnabled(), 30000);
    QTRY_COMPARE(tray->toolTip(), QString());
    changeAndWait([](UpsModel &) {});
}

QTEST_MAIN(TestStaleTray)
#include "tst_staletray.moc"
