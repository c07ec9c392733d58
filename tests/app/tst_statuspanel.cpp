// The status page and the events list of the main window, fed by the real
// network client from the simulator: the key-to-label table, the header
// split, the balloon and tray icon on each change of STATUS, the events shown
// newest first, and what is repainted or fitted anew. The window is shown only for the last
// test: a hidden window is kept up to date all the same.

#include "comthrd.h"
#include "mainwindow.h"
#include "shownstatuskeys.h"
#include "simulatedrecord.h"
#include "traynotifier.h"
#include "upssimulator.h"
#include "windowsubsystems.h"

#include <QDir>
#include <QEvent>
#include <QLabel>
#include <QListView>
#include <QRegularExpression>
#include <QStringListModel>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QtTest>

#include <algorithm>
#include <memory>

namespace {
const auto mainsIcon = QStringLiteral(":/icons/plug.ico");
const auto batteryIcon = QStringLiteral(":/icons/plugnot.ico");

// The keys with one label each, besides "APC", DATE and STATUS.
const QStringList &valueKeys()
{
    static const QStringList keys = [] {
        QStringList shown = shownStatusKeys();
        for (const char *key : {"APC", "DATE", "STATUS"})
            shown.removeAll(QLatin1String(key));
        return shown;
    }();
    return keys;
}
} // namespace

class TestStatusPanel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void firstStatusAnnounced();
    void statusChanges_data();
    void statusChanges();
    void labelsFollowKeys_data();
    void labelsFollowKeys();
    void missingKeyEmptiesItsLabel();
    void headerSplit_data();
    void headerSplit();
    void markupShownAsText();
    void eventsNewestFirst();
    void repaintsOnlyChanges_data();
    void repaintsOnlyChanges();

private:
    QLabel *label(const QString &name) const { return window->findChild<QLabel *>(name); }
    // The whole value a label shows: one longer than the label is shortened
    // on Linux, with the whole text in the tooltip.
    QString wholeValue(const QString &name) const
    {
        const QLabel *shown = label(name);
        return shown->toolTip().isEmpty() ? shown->text() : shown->toolTip();
    }
    // Changes the simulated UPS and waits until the window has shown a record
    // carrying the change. DATE is read before every other key but "APC", so
    // the labels after it come from that record or a newer one.
    void changeAndWait(const std::function<void(UpsModel &)> &change);

    QTemporaryDir dir;
    std::unique_ptr<UpsSimulator> sim;
    std::unique_ptr<WindowSubsystems> peers;
    std::unique_ptr<MainWindow> window;
    TrayNotifier *tray = nullptr;
    std::unique_ptr<QSignalSpy> firstMessages;
    int marker = 0;
    // Requests the simulator has answered, by command. The client handled a
    // reply before it asks again with the same command.
    QHash<QString, int> served;
};

void TestStatusPanel::initTestCase()
{
    qRegisterMetaType<QSystemTrayIcon::MessageIcon>();
    QVERIFY(dir.isValid());
    QVERIFY(QDir::setCurrent(dir.path()));
    qputenv("HOME", dir.path().toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", dir.filePath(QStringLiteral("config")).toLocal8Bit());

    sim = std::make_unique<UpsSimulator>();
    QVERIFY(sim->listen());
    connect(sim.get(), &UpsSimulator::requestServed, this,
            [this](const QString &command) { ++served[command]; });
    QFile confdata(dir.filePath(QStringLiteral("confdata")));
    QVERIFY(confdata.open(QIODevice::WriteOnly | QIODevice::Text));
    confdata.write("Voltrine:Configuration\nVersion:1.1\nUPSHOST:127.0.0.1\nUPSPORT:" +
                   QByteArray::number(sim->port()) +
                   // Shown by the last test, the window must not hide itself.
                   "\nSTARTMINIMISED:false\n");
    confdata.close();

    peers = std::make_unique<WindowSubsystems>(dir.path());
    window = std::make_unique<MainWindow>(peers->subsystems());
    tray = window->findChild<TrayNotifier *>();
    QVERIFY(tray);
    firstMessages = std::make_unique<QSignalSpy>(tray, &TrayNotifier::messageShown);
    // Shown: a hidden window's labels wait until it is shown.
    window->show();
}

void TestStatusPanel::cleanupTestCase()
{
    window.reset();
    peers.reset();
    sim.reset();
}

void TestStatusPanel::changeAndWait(const std::function<void(UpsModel &)> &change)
{
    changeAndWaitForRecord(*sim, *window, marker, change);
}

void TestStatusPanel::firstStatusAnnounced()
{
    QTRY_VERIFY_WITH_TIMEOUT(firstMessages->count() >= 1, 30000);
    const QList<QVariant> message = firstMessages->first();
    QCOMPARE(message.at(0).toString(), QStringLiteral("Voltrine STATUS"));
    QCOMPARE(message.at(1).toString(), QStringLiteral("ONLINE"));
    QCOMPARE(message.at(2).value<QSystemTrayIcon::MessageIcon>(), QSystemTrayIcon::Information);
    QCOMPARE(message.at(3).toInt(), 2000);
    QCOMPARE(tray->iconResource(), mainsIcon);
    QCOMPARE(label(QStringLiteral("label_STATUS"))->text(), QStringLiteral("ONLINE"));
}

void TestStatusPanel::statusChanges_data()
{
    QTest::addColumn<bool>("present");
    QTest::addColumn<QString>("status");
    QTest::addColumn<bool>("balloon");
    QTest::addColumn<QString>("icon");
    QTest::addColumn<bool>("hidden");

    // The rows run in this order, each from the state the row before left.
    QTest::newRow("ONBATT") << true << QStringLiteral("ONBATT") << true << batteryIcon << false;
    QTest::newRow("ONBATT again") << true << QStringLiteral("ONBATT") << false << batteryIcon
                                  << false;
    QTest::newRow("ONLINE") << true << QStringLiteral("ONLINE") << true << mainsIcon << false;
    QTest::newRow("ONLINE LOWBATT")
            << true << QStringLiteral("ONLINE LOWBATT") << true << batteryIcon << false;
    QTest::newRow("onbatt in small letters")
            << true << QStringLiteral("onbatt") << true << batteryIcon << false;
    QTest::newRow("onbatt again") << true << QStringLiteral("onbatt") << false << batteryIcon
                                  << false;
    QTest::newRow("COMMLOST") << true << QStringLiteral("COMMLOST") << true << mainsIcon << false;
    QTest::newRow("CHARGING") << true << QStringLiteral("CHARGING") << true << mainsIcon << false;
    QTest::newRow("ONBATT SLAVE") << true << QStringLiteral("ONBATT SLAVE") << true << batteryIcon
                                  << false;
    QTest::newRow("STATUS gone after a battery status")
            << false << QString() << true << mainsIcon << false;
    QTest::newRow("STATUS still gone") << false << QString() << false << mainsIcon << false;
    QTest::newRow("ONLINE after none")
            << true << QStringLiteral("ONLINE") << true << mainsIcon << false;
    // A hidden window's labels wait; shown, it shows the newest record at once.
    QTest::newRow("ONBATT while hidden")
            << true << QStringLiteral("ONBATT") << true << batteryIcon << true;
}

void TestStatusPanel::statusChanges()
{
    QFETCH(bool, present);
    QFETCH(QString, status);
    QFETCH(bool, balloon);
    QFETCH(QString, icon);
    QFETCH(bool, hidden);

    QSignalSpy messages(tray, &TrayNotifier::messageShown);
    if (hidden) {
        window->hide();
        const QString date = QStringLiteral("marker %1").arg(++marker);
        sim->model().setValue(QStringLiteral("DATE"), date);
        sim->model().setValue(QStringLiteral("STATUS"), status);
        QTRY_COMPARE_WITH_TIMEOUT(messages.count(), 1, 30000);
        window->show();
        QCOMPARE(label(QStringLiteral("label_DATE"))->text(), date);
    }
    changeAndWait([&](UpsModel &ups) {
        if (present)
            ups.setValue(QStringLiteral("STATUS"), status);
        else
            ups.removeValue(QStringLiteral("STATUS"));
    });
    QCOMPARE(label(QStringLiteral("label_STATUS"))->text(), status);
    // One more record, so that a balloon shown twice would be seen.
    changeAndWait([](UpsModel &) {});

    QCOMPARE(messages.count(), balloon ? 1 : 0);
    if (balloon) {
        QCOMPARE(messages.first().at(0).toString(), QStringLiteral("Voltrine STATUS"));
        QCOMPARE(messages.first().at(1).toString(), status);
    }
    QCOMPARE(tray->iconResource(), icon);
}

void TestStatusPanel::labelsFollowKeys_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("labelName");
    for (const QString &key : valueKeys()) {
        QString name = key;
        name.remove(QLatin1Char(' '));
        QTest::newRow(qPrintable(key)) << key << QStringLiteral("label_") + name;
    }
}

void TestStatusPanel::labelsFollowKeys()
{
    QFETCH(QString, key);
    QFETCH(QString, labelName);
    // Every key gets a value of its own, so that a label fed from the wrong
    // key shows the wrong text.
    static bool distinctValuesShown = false;
    if (!distinctValuesShown) {
        changeAndWait([](UpsModel &ups) {
            for (const QString &name : valueKeys())
                ups.setValue(name, QStringLiteral("value of ") + name);
        });
        distinctValuesShown = true;
    }
    QLabel *target = label(labelName);
    QVERIFY(target);
    QCOMPARE(wholeValue(labelName), QStringLiteral("value of ") + key);
}

void TestStatusPanel::missingKeyEmptiesItsLabel()
{
    changeAndWait([](UpsModel &ups) { ups.resetValue(QStringLiteral("FIRMWARE")); });
    QVERIFY(!label(QStringLiteral("label_FIRMWARE"))->text().isEmpty());
    changeAndWait([](UpsModel &ups) { ups.removeValue(QStringLiteral("FIRMWARE")); });
    QCOMPARE(label(QStringLiteral("label_FIRMWARE"))->text(), QString());
}

void TestStatusPanel::headerSplit_data()
{
    QTest::addColumn<QString>("header");
    QTest::addColumn<QStringList>("shown");
    // In this order: a header that does not split in three leaves the labels
    // as the row before left them.
    const QStringList first{QStringLiteral("001"), QStringLiteral("036"), QStringLiteral("0870")};
    QTest::newRow("three parts") << QStringLiteral("001,036,0870") << first;
    QTest::newRow("two parts") << QStringLiteral("001,036") << first;
    QTest::newRow("four parts") << QStringLiteral("1,2,3,4") << first;
    QTest::newRow("blank header") << QString() << first;
    QTest::newRow("empty parts kept")
            << QStringLiteral(",,9") << QStringList{QString(), QString(), QStringLiteral("9")};
}

void TestStatusPanel::headerSplit()
{
    QFETCH(QString, header);
    QFETCH(QStringList, shown);
    // "APC" is read before DATE, so one record more makes sure it was read
    // from a record that carries the change.
    changeAndWait([&](UpsModel &ups) { ups.setValue(QStringLiteral("APC"), header); });
    changeAndWait([](UpsModel &) {});
    QCOMPARE(label(QStringLiteral("label_VERSION_2"))->text(), shown.at(0));
    QCOMPARE(label(QStringLiteral("label_VERSION_3"))->text(), shown.at(1));
    QCOMPARE(label(QStringLiteral("label_VERSION_4"))->text(), shown.at(2));
}

void TestStatusPanel::markupShownAsText()
{
    const QString image = QStringLiteral("<img src=\"file:///etc/hostname\">");
    const QString link = QStringLiteral("<a href=\"https://example.invalid/\">click</a>");
    QSignalSpy messages(tray, &TrayNotifier::messageShown);
    changeAndWait([&](UpsModel &ups) {
        ups.setValue(QStringLiteral("MODEL"), image);
        ups.setValue(QStringLiteral("UPSNAME"), link);
        ups.setValue(QStringLiteral("STATUS"), QStringLiteral("<b>ONBATT</b>"));
    });
#ifdef Q_OS_WIN
    QCOMPARE(label(QStringLiteral("label_MODEL"))->text(), image);
    QCOMPARE(label(QStringLiteral("label_UPSNAME"))->text(), link);
#else
    // Too long for their labels: the tooltip shows them as they are.
    QCOMPARE(wholeValue(QStringLiteral("label_MODEL")), Qt::convertFromPlainText(image));
    QCOMPARE(wholeValue(QStringLiteral("label_UPSNAME")), Qt::convertFromPlainText(link));
#endif
    QCOMPARE(label(QStringLiteral("label_STATUS"))->text(), QStringLiteral("<b>ONBATT</b>"));
    const QList<QLabel *> labels =
            window->findChildren<QLabel *>(QRegularExpression(QStringLiteral("^label_[A-Z]")));
    QCOMPARE(labels.size(), 40);
    for (QLabel *valueLabel : labels)
        QVERIFY2(valueLabel->textFormat() == Qt::PlainText, qPrintable(valueLabel->objectName()));
    QTRY_COMPARE(messages.count(), 1);
    QCOMPARE(messages.first().at(1).toString(), QStringLiteral("<b>ONBATT</b>"));
}

void TestStatusPanel::eventsNewestFirst()
{
    auto *view = window->findChild<QListView *>(QStringLiteral("listView"));
    QVERIFY(view);
    UpsModel &ups = sim->model();
    ups.addRawEventLine(QStringLiteral("A"));
    ups.addRawEventLine(QStringLiteral("B"));
    ups.addRawEventLine(QString());
    ups.addRawEventLine(QStringLiteral("<b>C</b> & <img src=x>"));

    // The reply ends with a newline, so the list begins with an empty row.
    QStringList expected = ups.eventLines() << QString();
    std::reverse(expected.begin(), expected.end());
    QCOMPARE(expected.mid(0, 5),
             (QStringList{QString(), QStringLiteral("<b>C</b> & <img src=x>"), QString(),
                          QStringLiteral("B"), QStringLiteral("A")}));

    auto shown = [view] {
        auto *model = qobject_cast<QStringListModel *>(view->model());
        return model ? model->stringList() : QStringList();
    };
    QTRY_COMPARE_WITH_TIMEOUT(shown(), expected, 30000);
    QAbstractItemModel *model = view->model();
    QCOMPARE(model->data(model->index(1, 0)).toString(), QStringLiteral("<b>C</b> & <img src=x>"));

    // Later replies keep the same model and rows.
    const int asked = served.value(QStringLiteral("events"));
    QTRY_VERIFY_WITH_TIMEOUT(served.value(QStringLiteral("events")) >= asked + 3, 30000);
    QCoreApplication::sendPostedEvents();
    QTRY_COMPARE_WITH_TIMEOUT(shown(), expected, 30000);
    QCOMPARE(view->model(), model);
}

namespace {
// Counts what the widgets inside one widget are made to do again: paint, or
// fit a value to its label (which sets the label's tool tip).
class TouchCounter final : public QObject
{
public:
    explicit TouchCounter(QWidget *within)
        : within(within)
    {
        qApp->installEventFilter(this);
    }
    ~TouchCounter() override { qApp->removeEventFilter(this); }
    int count = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        const bool touched =
                event->type() == QEvent::Paint || event->type() == QEvent::ToolTipChange;
        if (touched && watched->isWidgetType() &&
            (watched == within || within->isAncestorOf(static_cast<QWidget *>(watched))))
            ++count;
        return false;
    }

private:
    QWidget *within;
};
} // namespace

void TestStatusPanel::repaintsOnlyChanges_data()
{
    QTest::addColumn<QString>("page");
    QTest::addColumn<bool>("changed");
    QTest::newRow("status record changed") << QStringLiteral("tab") << true;
    QTest::newRow("status record repeated") << QStringLiteral("tab") << false;
    QTest::newRow("event list changed") << QStringLiteral("tab_2") << true;
    QTest::newRow("event list repeated") << QStringLiteral("tab_2") << false;
}

void TestStatusPanel::repaintsOnlyChanges()
{
    QFETCH(QString, page);
    QFETCH(bool, changed);
    // The simulator stamps each record with the time; these stamps stay put.
    changeAndWait([](UpsModel &ups) {
        ups.setValue(QStringLiteral("END APC"), QStringLiteral("2016-02-29 10:00:00 +0100"));
    });
    auto *tabs = window->findChild<QTabWidget *>(QStringLiteral("tabWidget"));
    auto *shown = window->findChild<QWidget *>(page);
    QVERIFY(tabs && shown);
    tabs->setCurrentWidget(shown);
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));

    const bool statusPage = page == QLatin1String("tab");
    // An unchanged event list is not announced: replies are counted where
    // they are served. A reply's refresh is posted before the client asks
    // again; the second round of posted events paints what the refresh marked.
    const QString command = statusPage ? QStringLiteral("status") : QStringLiteral("events");
    const auto replies = [this, &command] { return served.value(command); };
    const int first = replies();
    QTRY_VERIFY_WITH_TIMEOUT(replies() >= first + 3, 30000);
    QCoreApplication::sendPostedEvents();
    QCoreApplication::sendPostedEvents();
    TouchCounter touches(shown);
    if (changed) {
        if (statusPage)
            sim->model().setValue(QStringLiteral("LINEV"),
                                  QStringLiteral("%1.0 Volts").arg(200 + ++marker));
        else
            sim->model().addRawEventLine(QStringLiteral("changed %1").arg(++marker));
    }
    // The simulator runs on this thread: the next reply it serves has the
    // change, and it was handled once the client asks again.
    const int enough = replies() + 2;
    QTRY_VERIFY_WITH_TIMEOUT(replies() >= enough, 30000);
    QCoreApplication::sendPostedEvents();
    QCoreApplication::sendPostedEvents();

    if (changed)
        QVERIFY(touches.count > 0);
    else
        QCOMPARE(touches.count, 0);
}

QTEST_MAIN(TestStatusPanel)
#include "tst_statuspanel.moc"
