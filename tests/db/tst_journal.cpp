// The local journal: who may read it, how long rows stay, and how many may
// wait. No server is needed: nothing here is sent.
#include "dbtesthelpers.h"

#include <QFileInfo>

namespace {

constexpr qint64 dayMs = 24 * 3600 * 1000;

} // namespace

class TestJournal final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void readableByItsOwnerOnly();
    void minutesHoldTheirRowsExtremes();
    void rowsPastRetentionArePruned_data();
    void rowsPastRetentionArePruned();
    void limitDropsOldestWaitingMeasurementsOnly();
    void eventWalkKeepsItsPlaceWhenItsRowIsPruned_data();
    void eventWalkKeepsItsPlaceWhenItsRowIsPruned();

private:
    // A database object on the journal in dir, with the given database host
    // ("" for none, as on a first start).
    std::unique_ptr<DataBase> startDatabase(const QString &host);

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<Logs> logs;
    std::unique_ptr<TraceRecorder> trace;
    std::unique_ptr<Registry> registry;
    QStringList notices;
};

void TestJournal::initTestCase()
{
    DataBase::setFailureNotice([this](const QString &text) { notices.append(text); });
}

void TestJournal::init()
{
    notices.clear();
    dir = std::make_unique<QTemporaryDir>();
    logs = std::make_unique<Logs>(dir->filePath(QStringLiteral("Trace.log")));
    trace = std::make_unique<TraceRecorder>(logs.get());
    registry = std::make_unique<Registry>(logs.get(), dir->filePath(QStringLiteral("confdata")));
}

void TestJournal::cleanup()
{
    registry.reset();
    trace.reset();
    logs.reset();
    dir.reset();
}

std::unique_ptr<DataBase> TestJournal::startDatabase(const QString &host)
{
    if (!host.isEmpty()) {
        registry->setKey(QStringLiteral("dbhost"), host);
        // Nothing listens on port 1: every attempt is refused at once.
        registry->setKey(QStringLiteral("dbport"), QStringLiteral("1"));
        registry->setKey(QStringLiteral("dbname"), QStringLiteral("ups"));
        registry->setKey(QStringLiteral("dbvdriver"), QStringLiteral("5.3"));
        registry->setKey(QStringLiteral("dbuser"), QStringLiteral("ups"));
    }
    auto database = std::make_unique<DataBase>(registry.get(), logs.get());
    QTest::qVerify(openAndAwaitAnswer(*database), "openAndAwaitAnswer", "the writer answered",
                   __FILE__, __LINE__);
    return database;
}

void TestJournal::readableByItsOwnerOnly()
{
    auto database = startDatabase(QString());
    database->writeMeasurement(sampleMeasurement());
    const QString path = database->journalPath();
    QCOMPARE(QFileInfo(path).absolutePath(), QFileInfo(dir->path()).absoluteFilePath());
    QCOMPARE(readJournal(path, QStringLiteral("PRAGMA journal_mode")),
             QStringList{QStringLiteral("wal")});
    // Under any umask: the rows tell when the power failed, and for how long.
    for (const QString &file :
         QStringList{path, path + QStringLiteral("-wal"), path + QStringLiteral("-shm")}) {
        QVERIFY2(QFileInfo::exists(file), qPrintable(file));
        const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
        QCOMPARE(QFileInfo(file).permissions() & others, QFile::Permissions());
    }
}

void TestJournal::minutesHoldTheirRowsExtremes()
{
    Journal journal(dir->filePath(Journal::fileName()), QStringLiteral("minutes"));
    QString error;
    QVERIFY2(journal.open(Journal::Mode::Durable, &error), qPrintable(error));
    const qint64 minute = QDateTime::currentMSecsSinceEpoch() / 60000;
    const auto add = [&journal](qint64 time, const QString &linev, const QString &loadpct,
                                const QString &timeLeft) {
        QStringList values = sampleMeasurement();
        values[2] = linev;
        values[6] = loadpct;
        QVERIFY(journal.appendMeasurement(values, timeLeft, Journal::State::Unsent, time));
    };
    // A value without a number (N/A, an empty TIMELEFT) counts for nothing.
    add(minute * 60000 + 1000, QStringLiteral("230.0 Volts"), QStringLiteral("N/A"), QString());
    add(minute * 60000 + 2000, QString(), QStringLiteral("17.0 Percent"), QString());
    add(minute * 60000 + 59999, QStringLiteral("228.5 Volts"), QStringLiteral("9.0 Percent"),
        QString());
    add(minute * 60000 + 60000, QStringLiteral("231.0 Volts"), QStringLiteral("N/A"),
        QStringLiteral("12.5 Minutes"));
    QCOMPARE(readJournal(journal.path(),
                         QStringLiteral("SELECT minute - %1, row_count, linev_min, linev_max, "
                                        "loadpct_min, loadpct_max, timeleft_min, timeleft_max "
                                        "FROM upsmeasurements_minutes ORDER BY minute")
                                 .arg(minute)),
             (QStringList{QStringLiteral("0|3|228.5|230|9|17||"),
                          QStringLiteral("1|1|231|231|||12.5|12.5")}));
}

void TestJournal::rowsPastRetentionArePruned_data()
{
    QTest::addColumn<int>("clockOffsetDays");
    // Pruning goes by the rows' own times: a clock set wrong at start (and
    // the rows it stamps) neither empties the history nor keeps it for ever.
    QTest::newRow("clock right") << 0;
    QTest::newRow("clock 40 days ahead") << 40;
    QTest::newRow("clock 40 days behind") << -40;
}

void TestJournal::rowsPastRetentionArePruned()
{
    QFETCH(int, clockOffsetDays);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const qint64 past = now - (Journal::retentionDays + 1) * dayMs;
    const qint64 within = now - (Journal::retentionDays - 1) * dayMs;
    {
        Journal journal(dir->filePath(Journal::fileName()), QStringLiteral("filling"));
        QString error;
        QVERIFY2(journal.open(Journal::Mode::Background, &error), qPrintable(error));
        const auto add = [&journal](const QString &name, Journal::State state, qint64 time) {
            QVERIFY(journal.appendMeasurement(sampleMeasurement(name), QString(), state, time));
            QVERIFY(journal.appendEvent(sampleEvent(name), state, time));
        };
        add(QStringLiteral("old sent"), Journal::State::Sent, past);
        add(QStringLiteral("old local"), Journal::State::LocalOnly, past);
        add(QStringLiteral("old refused"), Journal::State::Refused, past);
        add(QStringLiteral("old waiting"), Journal::State::Unsent, past);
        add(QStringLiteral("recent sent"), Journal::State::Sent, within);
        add(QStringLiteral("recent local"), Journal::State::LocalOnly, within);
        add(QStringLiteral("last run"), Journal::State::Sent, now - 60000);
    }
    QSqlDatabase::removeDatabase(QStringLiteral("filling"));

    const qint64 offset = clockOffsetDays * dayMs;
    Journal::setClock([offset] { return QDateTime::currentMSecsSinceEpoch() + offset; });
    auto database = startDatabase(QString());
    database->writeMeasurement(sampleMeasurement(QStringLiteral("this run")));
    database->writeEvent(sampleEvent(QStringLiteral("this run")));
    Journal::setClock({});
    const QString path = database->journalPath();
    const QStringList kept{QStringLiteral("old waiting"), QStringLiteral("recent sent"),
                           QStringLiteral("recent local"), QStringLiteral("last run"),
                           QStringLiteral("this run")};
    // Events are pruned after measurements.
    QTRY_COMPARE_WITH_TIMEOUT(
            readJournal(path, QStringLiteral("SELECT message FROM upsevents ORDER BY id")), kept,
            30000);
    QCOMPARE(readJournal(path, QStringLiteral("SELECT status FROM upsmeasurements ORDER BY id")),
             kept);
    QTRY_VERIFY_WITH_TIMEOUT(trace->messages().contains(
                                     QStringLiteral("Journal: 6 rows older than 31 days removed")),
                             30000);
}

void TestJournal::limitDropsOldestWaitingMeasurementsOnly()
{
    auto database = startDatabase(QStringLiteral("127.0.0.1"));
    QCOMPARE(notices.size(), 1);
    database->setUnsentLimit(10);
    for (int i = 0; i < 3; ++i)
        database->writeEvent(sampleEvent(QStringLiteral("event ") + QString::number(i)));
    QStringList written;
    for (int i = 0; i < 30; ++i) {
        written.append(QStringLiteral("row ") + QString::number(i));
        database->writeMeasurement(sampleMeasurement(written.last()));
    }

    // The writer takes requests in order: once it has answered this one, it
    // has taken in every row handed over before.
    database->openConnection();
    QTRY_COMPARE_WITH_TIMEOUT(notices.size(), 2, 30000);
    const QString path = database->journalPath();
    QVERIFY(database->unsentRows() <= 10);
    // Every event stays; of the measurements, the newest.
    QCOMPARE(readJournal(path, QStringLiteral("SELECT message FROM upsevents ORDER BY id")),
             (QStringList{QStringLiteral("event 0"), QStringLiteral("event 1"),
                          QStringLiteral("event 2")}));
    const QStringList left =
            readJournal(path, QStringLiteral("SELECT status FROM upsmeasurements ORDER BY id"));
    QVERIFY(!left.isEmpty());
    QCOMPARE(left, written.mid(written.size() - left.size()));
    // One record per burst of dropped rows, not one per row.
    const QStringList records = trace->messages().filter(
            QStringLiteral("Journal holds more than 10 rows waiting to be sent: the "));
    QVERIFY(!records.isEmpty());
    QVERIFY2(records.size() < written.size() - left.size(),
             qPrintable(records.join(QLatin1Char('\n'))));
}

void TestJournal::eventWalkKeepsItsPlaceWhenItsRowIsPruned_data()
{
    // A journal of the version before keeps the place in its rows only.
    QTest::addColumn<bool>("earlierVersion");
    QTest::newRow("place kept as rows are added") << false;
    QTest::newRow("journal of an earlier version") << true;
}

void TestJournal::eventWalkKeepsItsPlaceWhenItsRowIsPruned()
{
    QFETCH(bool, earlierVersion);
    // Quiet for longer than rows are kept: the newest event row goes too.
    const qint64 past = QDateTime::currentMSecsSinceEpoch() - (Journal::retentionDays + 1) * dayMs;
    {
        Journal journal(dir->filePath(Journal::fileName()), QStringLiteral("filling"));
        QString error;
        QVERIFY2(journal.open(Journal::Mode::Background, &error), qPrintable(error));
        for (const char *message : {"Power failure.", "Power is back. UPS running on mains."})
            QVERIFY(journal.appendEvent(sampleEvent(QLatin1String(message)), Journal::State::Sent,
                                        past));
        // Measurements went on; no line came from the daemon since.
        QVERIFY(journal.appendMeasurement(sampleMeasurement(), QString(), Journal::State::Sent,
                                          QDateTime::currentMSecsSinceEpoch() - 60000));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("filling"));
    if (earlierVersion) {
        QSqlDatabase old =
                QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("downgrade"));
        old.setDatabaseName(dir->filePath(Journal::fileName()));
        QVERIFY(old.open());
        QSqlQuery query(old);
        QVERIFY(query.exec(QStringLiteral("DELETE FROM journal_meta WHERE key = 'events.newest'")));
        QCOMPARE(query.numRowsAffected(), 1);
        query.clear();
        old.close();
        old = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("downgrade"));
    }

    // The walk starts after the newest line kept, not at the daemon's first
    // line again, now and at the next start.
    for (int start = 0; start < 2; ++start) {
        auto database = startDatabase(QString());
        QTRY_COMPARE_WITH_TIMEOUT(readJournal(database->journalPath(),
                                              QStringLiteral("SELECT COUNT(*) FROM upsevents")),
                                  QStringList{QStringLiteral("0")}, 30000);
        QCOMPARE(database->lastEventMessage(),
                 QStringLiteral("Power is back. UPS running on mains."));
    }
}

VOLTRINE_DB_TEST_MAIN(TestJournal)
#include "tst_journal.moc"
