// A power failure while the local journal does not work: locked by another
// program, on a full disk, damaged, in a folder that cannot be written. The
// window never waits on the journal, and no row of the power failure is lost:
// each reaches the server, or the journal once it works again. Nor does the
// box of a database refused at start hold up the monitoring. The program's
// subsystems run on the UPS simulator and the private MariaDB (through a
// proxy that can turn it away); as root, the test runs in a mount namespace
// of its own and puts the working folder on a small file system there.
#include "journal.h"
#include "journalreader.h"
#include "mainwindow.h"
#include "messagebox.h"
#include "offscreentray.h"
#include "tcpproxy.h"
#include "testmariadb.h"
#include "traynotifier.h"
#include "upssimulator.h"
#include "windowsubsystems.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <cstdlib>
#include <unistd.h>

namespace {

const auto batteryIcon = QStringLiteral(":/icons/plugnot.ico");
const auto ownMountsVariable = "VOLTRINE_OWN_MOUNTS";

enum class Fault {
    Locked,
    LockedDuringBacklog,
    DiskFull,
    DiskFullServerAway,
    RandomBytes,
    CutShort,
    DamagedLog,
    ReadOnlyFolder,
};

bool needsOwnFileSystem(Fault fault)
{
    return fault == Fault::DiskFull || fault == Fault::DiskFullServerAway ||
            fault == Fault::ReadOnlyFolder;
}

// The longest the GUI thread's event loop was late, while it runs.
class StallMeter final : public QObject
{
public:
    StallMeter()
    {
        connect(&tick, &QTimer::timeout, this,
                [this] { longest = qMax(longest, clock.restart() - intervalMs); });
    }
    void start()
    {
        longest = 0;
        clock.start();
        tick.start(intervalMs);
    }
    qint64 stop()
    {
        tick.stop();
        return longest;
    }

private:
    static constexpr int intervalMs = 5;
    QTimer tick;
    QElapsedTimer clock;
    qint64 longest = 0;
};

} // namespace

Q_DECLARE_METATYPE(Fault)

class TestJournalFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void powerFailureIsRecorded_data();
    void powerFailureIsRecorded();
    void refusedDatabaseBoxHoldsNothingUp();

private:
    // A new simulator, schema, proxy and working folder for a test.
    void prepareRun();
    QString workPath(const QString &name) const { return QDir(work).filePath(name); }
    bool mount(const QStringList &arguments);
    void writeConfdata();
    // Writes until the file system is full.
    void fillDisk();
    void prepareDamage(Fault fault);
    QStringList serverRows(const QString &statement) { return server.query(statement, schema); }
    QStringList journalRows(const QString &statement)
    {
        return readJournal(workPath(Journal::fileName()), statement);
    }
    // A record of this run begins so, in the trace log or, where that cannot
    // be written, among the records since the window was made.
    bool traced(const QString &start) const
    {
        return readFileBytes(workPath(QStringLiteral("Trace.log")))
                       .contains("]: " + start.toUtf8()) ||
                std::any_of(messages.cbegin(), messages.cend(),
                            [&start](const QString &message) { return message.startsWith(start); });
    }

    TestMariaDb server;
    std::unique_ptr<TcpProxy> proxy;
    QTemporaryDir dir;
    // A new one for each row: its event list is worked off line by line.
    std::unique_ptr<UpsSimulator> simulator;
    bool ownMounts = false;
    QString work;
    QString schema;
    int rows = 0;
    std::unique_ptr<WindowSubsystems> peers;
    std::unique_ptr<MainWindow> window;
    QStringList messages;
};

void TestJournalFaults::initTestCase()
{
    qRegisterMetaType<QSystemTrayIcon::MessageIcon>();
    OffscreenTray::silence();
    QVERIFY2(server.isValid(), qPrintable(server.errorString()));
    QVERIFY(dir.isValid());
    qputenv("HOME", QFile::encodeName(dir.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.filePath(QStringLiteral("config"))));
    ownMounts = qEnvironmentVariableIsSet(ownMountsVariable);
    QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("standins"))));
}

bool TestJournalFaults::mount(const QStringList &arguments)
{
    return QProcess::execute(QStringLiteral("mount"), arguments) == 0;
}

void TestJournalFaults::cleanup()
{
    window.reset();
    peers.reset();
    proxy.reset();
    simulator.reset();
    if (ownMounts)
        QProcess::execute(QStringLiteral("umount"), {work});
    server.exec(QStringLiteral("DROP DATABASE IF EXISTS ") + schema);
}

void TestJournalFaults::writeConfdata()
{
    QVERIFY(writeFileBytes(
            workPath(QStringLiteral("confdata")),
            "Voltrine:Configuration\nVersion:1.1\nUPSHOST:127.0.0.1\nUPSPORT:" +
                    QByteArray::number(simulator->port()) + "\nDBHOST:127.0.0.1\nDBPORT:" +
                    QByteArray::number(proxy->port()) + "\nDBNAME:" + schema.toLatin1() +
                    "\nDBVDRIVER:5.3\nDBUSER:" + server.user().toLatin1() + "\nDBPASSWD:" +
                    server.password().toLatin1().toHex() + "\nSTARTMINIMISED:false\n"));
}

void TestJournalFaults::fillDisk()
{
    QFile filler(workPath(QStringLiteral("filler")));
    QVERIFY(filler.open(QIODevice::WriteOnly));
    const QByteArray block(4096, 'x');
    while (filler.write(block) == block.size() && filler.flush()) { }
    QVERIFY(filler.error() != QFileDevice::NoError);
}

void TestJournalFaults::prepareDamage(Fault fault)
{
    const QString path = workPath(Journal::fileName());
    if (fault == Fault::RandomBytes) {
        QByteArray noise(64 * 1024, Qt::Uninitialized);
        QRandomGenerator generator(20);
        for (char &byte : noise)
            byte = char(generator.generate());
        QVERIFY(writeFileBytes(path, noise));
        return;
    }
    // A journal of an earlier run: its rows fill many pages.
    const QString earlier = dir.filePath(QStringLiteral("earlier-%1").arg(rows));
    QVERIFY(QDir().mkpath(earlier));
    const QString earlierPath = QDir(earlier).filePath(Journal::fileName());
    {
        Journal journal(earlierPath, QStringLiteral("earlier"));
        QString error;
        QVERIFY2(journal.open(Journal::Mode::Durable, &error), qPrintable(error));
        QList<Journal::Record> records;
        for (int i = 0; i < 300; ++i) {
            QStringList values;
            for (int column = 0; column < 22; ++column)
                values.append(QStringLiteral("earlier run"));
            records.append({Journal::Kind::Measurement, values, QString(),
                            Journal::now() - 3600000 + i, Journal::State::Sent});
        }
        for (const Journal::Record &record : records)
            QVERIFY(journal.appendAll({record}));
        if (fault == Fault::DamagedLog) {
            // Left as a program leaves it that ends without closing it: the
            // rows in the log. One byte in a frame of the middle is changed.
            for (const char *suffix : {"", "-wal"})
                QVERIFY(QFile::copy(earlierPath + QLatin1String(suffix),
                                    path + QLatin1String(suffix)));
            QFile wal(path + QStringLiteral("-wal"));
            QVERIFY(wal.open(QIODevice::ReadWrite));
            QVERIFY(wal.seek(wal.size() / 2));
            const char byte = wal.peek(1).at(0);
            QVERIFY(wal.putChar(char(~byte)));
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("earlier"));
    if (fault == Fault::CutShort) {
        QVERIFY(QFile::copy(earlierPath, path));
        QFile file(path);
        QVERIFY(file.resize(file.size() / 2));
    }
}

void TestJournalFaults::prepareRun()
{
    simulator = std::make_unique<UpsSimulator>();
    QVERIFY(simulator->listen());
    schema = QStringLiteral("journalfaults_%1").arg(++rows);
    QVERIFY(server.createSchema(schema));
    proxy = std::make_unique<TcpProxy>(server.host(), quint16(server.port()));
    QVERIFY(proxy->isListening());
    work = dir.filePath(QStringLiteral("work-%1").arg(rows));
    QVERIFY(QDir().mkpath(work));
}

void TestJournalFaults::refusedDatabaseBoxHoldsNothingUp()
{
    prepareRun();
    proxy->setRefusing(true);
    writeConfdata();
    peers = std::make_unique<WindowSubsystems>(work, std::function<void(InstallationProfile &)>(),
                                               dir.filePath(QStringLiteral("standins")));
    // The program's own box, not the recording stand-in.
    DataBase::setFailureNotice(MessageBox::showNotice);
    const auto shownBox = [] {
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            auto *box = qobject_cast<QMessageBox *>(widget);
            if (box && box->isVisible())
                return box;
        }
        return static_cast<QMessageBox *>(nullptr);
    };
    window = std::make_unique<MainWindow>(peers->subsystems());
    auto *tray = window->findChild<TrayNotifier *>();
    QVERIFY(tray);
    QSignalSpy balloons(tray, &TrayNotifier::messageShown);
    QTRY_VERIFY_WITH_TIMEOUT(shownBox(), 30000);
    QVERIFY(shownBox()->text().startsWith(QStringLiteral("Can not connect to database \n")));

    simulator->model().powerFail();
    QTRY_COMPARE_WITH_TIMEOUT(tray->iconResource(), batteryIcon, 30000);
    QTRY_VERIFY_WITH_TIMEOUT(std::any_of(balloons.cbegin(), balloons.cend(),
                                         [](const QList<QVariant> &balloon) {
                                             return balloon.value(1).toString().startsWith(
                                                     QStringLiteral("ONBATT"));
                                         }),
                             30000);
    QTRY_VERIFY_WITH_TIMEOUT(!journalRows(QStringLiteral("SELECT id FROM upsmeasurements WHERE "
                                                         "status LIKE 'ONBATT%'"))
                                      .isEmpty(),
                             30000);
    QVERIFY(shownBox());
    shownBox()->button(QMessageBox::Ok)->click();
}

void TestJournalFaults::powerFailureIsRecorded_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::newRow("journal locked by another program") << Fault::Locked;
    QTest::newRow("journal locked while the server takes a backlog") << Fault::LockedDuringBacklog;
    QTest::newRow("disk full, server answers") << Fault::DiskFull;
    QTest::newRow("disk full, server away until space returns") << Fault::DiskFullServerAway;
    QTest::newRow("journal of random bytes") << Fault::RandomBytes;
    QTest::newRow("journal cut short") << Fault::CutShort;
    QTest::newRow("write-ahead log damaged") << Fault::DamagedLog;
    QTest::newRow("working folder read-only") << Fault::ReadOnlyFolder;
}

void TestJournalFaults::powerFailureIsRecorded()
{
    QFETCH(Fault, fault);
    if (needsOwnFileSystem(fault) && !ownMounts)
        QSKIP("needs root, in a mount namespace of its own, for a small file system");

    prepareRun();
    if (needsOwnFileSystem(fault))
        QVERIFY(mount({QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                       QStringLiteral("size=2m,mode=700"), QStringLiteral("tmpfs"), work}));
    writeConfdata();
    prepareDamage(fault);
    if (fault == Fault::ReadOnlyFolder)
        QVERIFY(mount({QStringLiteral("-o"), QStringLiteral("remount,ro"), work}));

    messages.clear();
    peers = std::make_unique<WindowSubsystems>(work, std::function<void(InstallationProfile &)>(),
                                               dir.filePath(QStringLiteral("standins")));
    connect(
            peers->logs.get(), &Logs::LogDbProxy, this,
            [this](const QString &stamped) {
                messages.append(stamped.mid(stamped.indexOf(QStringLiteral("]: ")) + 3));
            },
            Qt::DirectConnection);
    window = std::make_unique<MainWindow>(peers->subsystems());
    auto *tray = window->findChild<TrayNotifier *>();
    QVERIFY(tray);
    DataBase *database = peers->database.get();
    QTRY_VERIFY_WITH_TIMEOUT(peers->core->isRunning() && database->isConnected(), 30000);
    // Every line of the daemon's list is on the server before the power fails.
    QTRY_COMPARE_WITH_TIMEOUT(serverRows(QStringLiteral("SELECT message FROM upsevents")).size(),
                              simulator->model().eventLines().size(), 30000);

    switch (fault) {
    case Fault::RandomBytes:
    case Fault::CutShort:
        QVERIFY(traced(QStringLiteral("The journal ") + workPath(Journal::fileName()) +
                       QStringLiteral(" is damaged (")));
        QCOMPARE(QDir(work).entryList({QStringLiteral("journal.db.damaged-*")}).size(), 1);
        break;
    case Fault::DamagedLog:
        QVERIFY(traced(QStringLiteral("The journal's write-ahead log is damaged")));
        QCOMPARE(QDir(work).entryList({QStringLiteral("journal.db-wal.discarded-*")}).size(), 1);
        break;
    case Fault::ReadOnlyFolder:
        QVERIFY(!database->notKeptReason().isEmpty());
        break;
    default:
        QVERIFY(database->notKeptReason().isEmpty());
    }

    StallMeter stalls;
    qint64 usualStall = 0;
    std::unique_ptr<QProcess> locker;
    const auto lockJournal = [this, &locker] {
        // An interactive sqlite3 that began a write transaction and waits.
        locker = std::make_unique<QProcess>();
        // Interactive, so that it answers each statement at once.
        locker->start(QStringLiteral("sqlite3"),
                      {QStringLiteral("-interactive"), workPath(Journal::fileName())});
        QVERIFY(locker->waitForStarted(10000));
        locker->write("BEGIN IMMEDIATE;\nSELECT 'lock' || 'ed';\n");
        QByteArray answer;
        QTRY_VERIFY_WITH_TIMEOUT((answer += locker->readAllStandardOutput()).contains("locked"),
                                 10000);
    };
    if (fault == Fault::Locked) {
        // How late the event loop is anyway on this machine, appends included.
        stalls.start();
        QTest::qWait(1000);
        usualStall = stalls.stop();
        lockJournal();
        if (QTest::currentTestFailed())
            return;
    }
    if (fault == Fault::DiskFullServerAway || fault == Fault::LockedDuringBacklog)
        proxy->setRefusing(true);
    if (fault == Fault::DiskFull || fault == Fault::DiskFullServerAway)
        fillDisk();

    stalls.start();
    simulator->model().powerFail();
    const int linesAfterFailure = simulator->model().eventLines().size();
    QTRY_COMPARE_WITH_TIMEOUT(tray->iconResource(), batteryIcon, 30000);
    // Both lines of the failure were handed over (taken, wherever they wait).
    QTRY_COMPARE_WITH_TIMEOUT(database->lastEventMessage(),
                              simulator->model().eventLines().constLast(), 30000);
    const qint64 stall = stalls.stop();
    // Elsewhere a row is synced to disk before the hand-over returns, as it
    // always was; the lock held elsewhere is never waited for.
    if (fault == Fault::Locked)
        QVERIFY2(stall <= qMax<qint64>(100, 3 * usualStall),
                 qPrintable(QStringLiteral("longest stall %1 ms, %2 ms before the lock")
                                    .arg(stall)
                                    .arg(usualStall)));

    if (fault == Fault::DiskFull || fault == Fault::DiskFullServerAway ||
        fault == Fault::ReadOnlyFolder) {
        // Said on the window and in the tray.
        const QString reason = database->notKeptReason();
        QVERIFY(!reason.isEmpty());
        auto *label = window->findChild<QLabel *>(QStringLiteral("label_notkept"));
        QVERIFY(label && !label->isHidden());
        QCOMPARE(label->toolTip(), QStringLiteral("Rows are not kept locally: ") + reason);
        QVERIFY(tray->toolTip().contains(label->toolTip()));
    }
    if (fault == Fault::LockedDuringBacklog) {
        // The failure's rows wait in the journal; the server takes them while
        // the journal cannot be marked, for longer than the writer waits for it.
        QTRY_COMPARE_WITH_TIMEOUT(
                journalRows(QStringLiteral("SELECT message FROM upsevents "
                                           "WHERE state = 0 ORDER BY id")),
                simulator->model().eventLines().mid(simulator->model().eventLines().size() - 2),
                30000);
        lockJournal();
        if (QTest::currentTestFailed())
            return;
        proxy->setRefusing(false);
        QTRY_COMPARE_WITH_TIMEOUT(
                serverRows(QStringLiteral("SELECT message FROM upsevents ORDER BY id")),
                simulator->model().eventLines(), 30000);
        QTest::qWait(3000);
    }
    if (locker) {
        locker->write("COMMIT;\n.quit\n");
        QVERIFY(locker->waitForFinished(10000));
    }
    if (fault == Fault::DiskFull || fault == Fault::DiskFullServerAway) {
        QVERIFY(QFile::remove(workPath(QStringLiteral("filler"))));
        QTRY_VERIFY_WITH_TIMEOUT(database->notKeptReason().isEmpty(), 30000);
        QVERIFY(traced(QStringLiteral("Rows are kept locally again: ")));
    }
    if (fault == Fault::DiskFullServerAway)
        proxy->setRefusing(false);
    // Nothing is sent again once every row is marked.
    if (locker)
        QTRY_COMPARE_WITH_TIMEOUT(
                journalRows(QStringLiteral("SELECT COUNT(*) FROM upsevents WHERE state = 0")),
                QStringList{QStringLiteral("0")}, 60000);

    // On the server, every line once, in order, and the measurement on battery.
    const QStringList lines = simulator->model().eventLines();
    QCOMPARE(lines.size(), linesAfterFailure);
    QTRY_COMPARE_WITH_TIMEOUT(
            serverRows(QStringLiteral("SELECT message FROM upsevents ORDER BY id")), lines, 60000);
    QTRY_VERIFY_WITH_TIMEOUT(!serverRows(QStringLiteral("SELECT id FROM upsmeasurements WHERE "
                                                        "status LIKE 'ONBATT%'"))
                                      .isEmpty(),
                             30000);
    // Where the journal kept them, it holds them too.
    if (fault != Fault::DiskFull && fault != Fault::ReadOnlyFolder) {
        QTRY_COMPARE_WITH_TIMEOUT(
                journalRows(QStringLiteral("SELECT message FROM upsevents ORDER BY id")), lines,
                30000);
        QVERIFY(!journalRows(QStringLiteral("SELECT id FROM upsmeasurements WHERE status LIKE "
                                            "'ONBATT%'"))
                         .isEmpty());
    }
}

int main(int argc, char *argv[])
{
    // As root, in a mount namespace of its own: what the test mounts is seen
    // by nothing else, and goes with it.
    if (geteuid() == 0 && !qEnvironmentVariableIsSet(ownMountsVariable) &&
        std::system("unshare --mount --propagation private true 2>/dev/null") == 0) {
        qputenv(ownMountsVariable, "1");
        std::vector<char *> arguments{const_cast<char *>("unshare"), const_cast<char *>("--mount"),
                                      const_cast<char *>("--propagation"),
                                      const_cast<char *>("private")};
        arguments.insert(arguments.end(), argv, argv + argc);
        arguments.push_back(nullptr);
        execvp("unshare", arguments.data());
        qunsetenv(ownMountsVariable);
    }
    QApplication application(argc, argv);
    TestJournalFaults test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_journalfaults.moc"
