// The History view's reads of the local journal, on small journals written
// by the journal itself: the minimum and maximum per bucket and the gaps, the
// power marks from the event lines, and the export's columns and quoting.

#include "historyreader.h"
#include "journal.h"
#include "samplerows.h"

#include <QBuffer>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <memory>

namespace {

// 2024-01-01 00:00:00 UTC: a whole hour, so buckets start on whole seconds from it.
constexpr qint64 base = 1704067200000;
constexpr qint64 second = 1000;

// Values in the column order, with LINEV, LOADPCT and BCHARGE as given.
QStringList measurement(const QString &lineVoltage,
                        const QString &load = QStringLiteral("17.0 Percent"),
                        const QString &charge = QStringLiteral("100.0 Percent"))
{
    QStringList values = sampleMeasurement();
    values[2] = lineVoltage;
    values[6] = load;
    values[13] = charge;
    return values;
}

QString number(double value)
{
    return std::isnan(value) ? QStringLiteral("-") : QString::number(value);
}

} // namespace

class TestHistoryReader final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void reduce_data();
    void reduce();
    void quantitiesFollowTheirColumns();
    void powerMarks_data();
    void powerMarks();
    void exportQuoting_data();
    void exportQuoting();

private:
    QString journalPath() const { return dir->filePath(QStringLiteral("journal.db")); }
    Journal &journal() { return *writer; }

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<Journal> writer;
    std::unique_ptr<HistoryReader> reader;
};

void TestHistoryReader::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    writer = std::make_unique<Journal>(journalPath(), QStringLiteral("history-test-writer"));
    QString error;
    QVERIFY2(writer->open(Journal::Mode::Background, &error), qPrintable(error));
    reader = std::make_unique<HistoryReader>(journalPath(), QStringLiteral("history-test-reader"));
    QVERIFY2(reader->open(&error), qPrintable(error));
}

void TestHistoryReader::cleanup()
{
    reader.reset();
    writer.reset();
    dir.reset();
}

void TestHistoryReader::reduce_data()
{
    QTest::addColumn<QStringList>("rows"); // "<seconds after base> <LINEV>"
    QTest::addColumn<int>("fromSecond");
    QTest::addColumn<int>("toSecond");
    QTest::addColumn<int>("bucketSeconds");
    QTest::addColumn<int>("holdSeconds");
    QTest::addColumn<QString>("buckets"); // "<start>:<low>/<high>", "-" for a gap
    QTest::addColumn<int>("lines");       // runs drawn for line voltage

    QTest::newRow("min and max per bucket")
            << QStringList{"0 230.0 Volts", "3 228.0 Volts", "7 233.0 Volts", "12 231.0 Volts"} << 0
            << 20 << 10 << 600 << "0:228/233 10:231/233" << 1;
    QTest::newRow("first bucket on a whole multiple of the width")
            << QStringList{"4 230.0 Volts", "17 232.0 Volts"} << 5 << 30 << 10 << 600
            << "0:230/230 10:230/232 20:232/232" << 1;
    QTest::newRow("a value holds until the next row")
            << QStringList{"0 230.0 Volts", "35 0.0 Volts"} << 0 << 40 << 10 << 600
            << "0:230/230 10:230/230 20:230/230 30:0/230" << 1;
    QTest::newRow("N/A leaves a gap")
            << QStringList{"0 230.0 Volts", "12 N/A", "31 229.0 Volts"} << 0 << 40 << 10 << 600
            << "0:230/230 10:230/230 20:-/- 30:229/229" << 2;
    QTest::newRow("not a number leaves a gap")
            << QStringList{"0 230.0 Volts", "12 unknown Volts", "31 229.0 Volts"} << 0 << 40 << 10
            << 600 << "0:230/230 10:230/230 20:-/- 30:229/229" << 2;
    QTest::newRow("nothing holds past the hold")
            << QStringList{"0 230.0 Volts", "45 231.0 Volts"} << 0 << 50 << 10 << 15
            << "0:230/230 10:230/230 20:-/- 30:-/- 40:231/231" << 2;
    QTest::newRow("nothing before the first row") << QStringList{"25 230.0 Volts"} << 0 << 30 << 10
                                                  << 600 << "0:-/- 10:-/- 20:230/230" << 1;
    QTest::newRow("whole minutes from the minute figures")
            << QStringList{"5 230.0 Volts", "50 226.0 Volts", "70 235.0 Volts", "200 N/A"} << 0
            << 300 << 60 << 600 << "0:226/230 60:226/235 120:235/235 180:235/235 240:-/-" << 1;
    QTest::newRow("two minutes per bucket")
            << QStringList{"10 230.0 Volts", "100 210.0 Volts", "130 231.0 Volts"} << 0 << 240
            << 120 << 600 << "0:210/230 120:210/231" << 1;
}

void TestHistoryReader::reduce()
{
    QFETCH(QStringList, rows);
    QFETCH(int, fromSecond);
    QFETCH(int, toSecond);
    QFETCH(int, bucketSeconds);
    QFETCH(int, holdSeconds);
    QFETCH(QString, buckets);
    QFETCH(int, lines);

    for (const QString &row : rows) {
        const int blank = row.indexOf(QLatin1Char(' '));
        QVERIFY(journal().appendMeasurement(measurement(row.mid(blank + 1)), QString(),
                                            Journal::State::LocalOnly,
                                            base + row.left(blank).toInt() * second));
    }
    QString error;
    const HistoryReader::Reduction reduction =
            reader->reduce(base + fromSecond * second, base + toSecond * second,
                           bucketSeconds * second, holdSeconds * second, &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QStringList shown;
    for (const HistoryReader::Bucket &bucket : reduction.buckets)
        shown.append(QString::number((bucket.startMs - base) / second) + QLatin1Char(':') +
                     number(bucket.low[HistoryReader::LineVoltage]) + QLatin1Char('/') +
                     number(bucket.high[HistoryReader::LineVoltage]));
    QCOMPARE(shown.join(QLatin1Char(' ')), buckets);
    QCOMPARE(HistoryReader::segments(reduction, HistoryReader::LineVoltage).size(), lines);
}

void TestHistoryReader::quantitiesFollowTheirColumns()
{
    QVERIFY(journal().appendMeasurement(
            measurement(QStringLiteral("230.0 Volts"), QStringLiteral("17.0 Percent"),
                        QStringLiteral("88.0 Percent")),
            QStringLiteral("41.5 Minutes"), Journal::State::LocalOnly, base));
    QString error;
    const HistoryReader::Reduction reduction =
            reader->reduce(base, base + 60 * second, 60 * second, 600 * second, &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QCOMPARE(reduction.buckets.size(), 1);
    const HistoryReader::Bucket &bucket = reduction.buckets.first();
    QCOMPARE(bucket.high[HistoryReader::LineVoltage], 230.0);
    QCOMPARE(bucket.high[HistoryReader::Load], 17.0);
    QCOMPARE(bucket.high[HistoryReader::BatteryCharge], 88.0);
    QCOMPARE(bucket.high[HistoryReader::RuntimeLeft], 41.5);
}

void TestHistoryReader::powerMarks_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("recordedSecond");
    QTest::addColumn<QString>("mark"); // "<seconds after base> failure|return", or "" for none

    // The span is the first hour after base.
    QTest::newRow("failure at the daemon's time")
            << "2024-01-01 01:00:05 +0100  Power failure." << 9 << "5 failure";
    QTest::newRow("return, offset west of UTC")
            << "2023-12-31 19:10:00 -0500  Power is back. UPS running on mains." << 700
            << "600 return";
    QTest::newRow("mains returned")
            << "2024-01-01 00:20:00 +0000  Mains returned. No longer on UPS batteries." << 1300
            << "1200 return";
    QTest::newRow("no stamp: the time recorded") << "Power failure." << 30 << "30 failure";
    QTest::newRow("other events are not marked")
            << "2024-01-01 00:00:30 +0000  Running on UPS batteries." << 30 << "";
    QTest::newRow("written before the span, recorded in it")
            << "2023-12-31 23:59:00 +0000  Power failure." << 20 << "";
}

void TestHistoryReader::powerMarks()
{
    QFETCH(QString, line);
    QFETCH(int, recordedSecond);
    QFETCH(QString, mark);

    QStringList values = sampleEvent(line);
    QVERIFY(journal().appendEvent(values, Journal::State::LocalOnly,
                                  base + recordedSecond * second));
    QString error;
    const QList<HistoryReader::PowerMark> marks =
            reader->powerMarks(base, base + 3600 * second, &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QStringList shown;
    for (const HistoryReader::PowerMark &each : marks)
        shown.append(QString::number((each.timeMs - base) / second) +
                     (each.failure ? QStringLiteral(" failure") : QStringLiteral(" return")));
    QCOMPARE(shown.join(QLatin1Char(',')), mark);
}

void TestHistoryReader::exportQuoting_data()
{
    QTest::addColumn<QString>("reason"); // the free text of battswitchreason
    QTest::addColumn<QString>("field");  // as the CSV holds it

    QTest::newRow("plain") << "Low line voltage"
                           << "Low line voltage";
    QTest::newRow("comma") << "Low line, then high"
                           << "\"Low line, then high\"";
    QTest::newRow("quotes") << "the \"self\" test"
                            << "\"the \"\"self\"\" test\"";
    QTest::newRow("line feed") << "first\nsecond"
                               << "\"first\nsecond\"";
    QTest::newRow("carriage return") << "first\r\nsecond"
                                     << "\"first\r\nsecond\"";
    QTest::newRow("all at once") << "a,\"b\"\nc"
                                 << "\"a,\"\"b\"\"\nc\"";
}

void TestHistoryReader::exportQuoting()
{
    QFETCH(QString, reason);
    QFETCH(QString, field);

    QStringList values = measurement(QStringLiteral("230.0 Volts"));
    values[12] = reason;
    QVERIFY(journal().appendMeasurement(values, QStringLiteral("41.5 Minutes"),
                                        Journal::State::LocalOnly, base));
    // Outside the span.
    QVERIFY(journal().appendMeasurement(measurement(QStringLiteral("1.0 Volts")), QString(),
                                        Journal::State::LocalOnly, base + 3600 * second));

    QBuffer out;
    QVERIFY(out.open(QIODevice::WriteOnly));
    QString error;
    QCOMPARE(reader->exportCsv(base, base + 3600 * second, &out, nullptr, &error), 1);
    QStringList expected = values;
    expected[12] = field;
    const QByteArray csv =
            QByteArrayLiteral("status,linenomvoltage,linevoltage,battnomvoltage,battvoltage,"
                              "nompower,loadpower,battlastexch,statusflag,sessionbattswitch,"
                              "lastbattsince,lastacsince,battswitchreason,battlevel,"
                              "onbattsince,batttotaltime,lastselftestresult,laststart,"
                              "lastupsdump,mcid,datetime,monitorversion,"
                              "linev,loadpct,bcharge,timeleft\r\n") +
            expected.join(QLatin1Char(',')).toUtf8() + ",230,17,100,41.5\r\n";
    QCOMPARE(out.data(), csv);
}

QTEST_MAIN(TestHistoryReader)
#include "tst_historyreader.moc"
