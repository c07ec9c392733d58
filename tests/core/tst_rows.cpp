#include "rows.h"

#include <QHash>
#include <QtTest>

namespace {

using Record = QHash<QString, QString>;

StatusLookup lookupIn(const Record &record)
{
    return [record](const QString &key) { return record.value(key); };
}

Record onlineRecord()
{
    return {{QStringLiteral("STATUS"), QStringLiteral("ONLINE")},
            {QStringLiteral("NOMINV"), QStringLiteral("230 Volts")},
            {QStringLiteral("LINEV"), QStringLiteral("230.0 Volts")},
            {QStringLiteral("NOMBATTV"), QStringLiteral("12.0 Volts")},
            {QStringLiteral("BATTV"), QStringLiteral("13.6 Volts")},
            {QStringLiteral("NOMPOWER"), QStringLiteral("405 Watts")},
            {QStringLiteral("LOADPCT"), QStringLiteral("12.0 Percent")},
            {QStringLiteral("BATTDATE"), QStringLiteral("2020-01-01")},
            {QStringLiteral("STATFLAG"), QStringLiteral("0x05000008")},
            {QStringLiteral("NUMXFERS"), QStringLiteral("0")},
            {QStringLiteral("XONBATT"), QStringLiteral("N/A")},
            {QStringLiteral("XOFFBATT"), QStringLiteral("N/A")},
            {QStringLiteral("LASTXFER"), QStringLiteral("No transfers since turnon")},
            {QStringLiteral("BCHARGE"), QStringLiteral("100.0 Percent")},
            {QStringLiteral("TONBATT"), QStringLiteral("0 Seconds")},
            {QStringLiteral("CUMONBATT"), QStringLiteral("0 Seconds")},
            {QStringLiteral("SELFTEST"), QStringLiteral("NO")},
            {QStringLiteral("STARTTIME"), QStringLiteral("2026-12-07 05:02:44 +0000  ")},
            {QStringLiteral("DATE"), QStringLiteral("2026-12-07 05:19:17 +0000  ")},
            {QStringLiteral("END APC"), QStringLiteral("2026-12-07 05:19:18 +0000  ")},
            {QStringLiteral("MODEL"), QStringLiteral("Back-UPS ES 700G")}};
}

constexpr int tonbattColumn = 14;
constexpr int cumonbattColumn = 15;

} // namespace

class TestRows : public QObject
{
    Q_OBJECT

private slots:
    void measurementRowOrder()
    {
        const StatusLookup status = lookupIn(onlineRecord());
        const QStringList row =
                MeasurementRow::withTail(MeasurementRow::measuredValues(status), status,
                                         QStringLiteral("7"), QStringLiteral("1.0.0a.2"));
        QCOMPARE(row.size(), MeasurementRow::columnCount);
        QCOMPARE(row.mid(0, 3),
                 (QStringList{QStringLiteral("ONLINE"), QStringLiteral("230 Volts"),
                              QStringLiteral("230.0 Volts")}));
        QCOMPARE(row.at(8), QStringLiteral("0x05000008"));
        QCOMPARE(row.at(13), QStringLiteral("100.0 Percent"));
        QCOMPARE(row.at(16), QStringLiteral("NO"));
        QCOMPARE(row.mid(17),
                 (QStringList{QStringLiteral("2026-12-07 05:02:44 +0000  "),
                              QStringLiteral("2026-12-07 05:19:17 +0000  "), QStringLiteral("7"),
                              QStringLiteral("2026-12-07 05:19:18 +0000  "),
                              QStringLiteral("1.0.0a.2")}));
    }

    void missingKeysGiveEmptyValues()
    {
        Record record = onlineRecord();
        record.remove(QStringLiteral("SELFTEST"));
        const StatusLookup status = lookupIn(record);
        const QStringList row =
                MeasurementRow::withTail(MeasurementRow::measuredValues(status), status, QString(),
                                         QStringLiteral("1.0.0a.2"));
        QCOMPARE(row.at(16), QString());
        QCOMPARE(row.at(19), QString());
        QCOMPARE(row.last(), QStringLiteral("1.0.0a.2"));
    }

    // Each step: the TONBATT and CUMONBATT readings, whether a row is written,
    // and the two smoothed values in it.
    void batteryPeriodSmoothing_data()
    {
        QTest::addColumn<QStringList>("tonbatt");
        QTest::addColumn<QStringList>("cumonbatt");
        QTest::addColumn<QStringList>("writtenTonbatt");
        QTest::addColumn<QStringList>("writtenCumonbatt");

        // "-" marks a record that gives no row.
        QTest::newRow("battery period counted and reported after return")
                << QStringList{"0 Seconds", "5 Seconds", "12 Seconds", "0 Seconds", "0 Seconds"}
                << QStringList{"0 Seconds", "5 Seconds", "12 Seconds", "12 Seconds", "12 Seconds"}
                << QStringList{"0 Seconds", "0 Seconds", "-", "12 Seconds", "-"}
                << QStringList{"0 Seconds", "N/A", "-", "12 Seconds", "-"};
        QTest::newRow("steady on mains") << QStringList{"0 Seconds", "0 Seconds", "0 Seconds"}
                                         << QStringList{"8 Seconds", "8 Seconds", "8 Seconds"}
                                         << QStringList{"0 Seconds", "0 Seconds", "-"}
                                         << QStringList{"N/A", "8 Seconds", "-"};
        QTest::newRow("ten seconds reads as a return")
                << QStringList{"0 Seconds", "9 Seconds", "10 Seconds", "11 Seconds"}
                << QStringList{"0 Seconds", "0 Seconds", "0 Seconds", "0 Seconds"}
                << QStringList{"0 Seconds", "-", "9 Seconds", "0 Seconds"}
                << QStringList{"0 Seconds", "-", "0 Seconds", "0 Seconds"};
    }

    void batteryPeriodSmoothing()
    {
        QFETCH(QStringList, tonbatt);
        QFETCH(QStringList, cumonbatt);
        QFETCH(QStringList, writtenTonbatt);
        QFETCH(QStringList, writtenCumonbatt);

        MeasurementFilter filter;
        filter.setTimesOnBattery(QStringLiteral("0 Seconds"), QStringLiteral("0 Seconds"));
        for (int i = 0; i < tonbatt.size(); ++i) {
            Record record = onlineRecord();
            record[QStringLiteral("TONBATT")] = tonbatt.at(i);
            record[QStringLiteral("CUMONBATT")] = cumonbatt.at(i);
            const std::optional<QStringList> row = filter.filter(lookupIn(record));
            QCOMPARE(row.has_value(), writtenTonbatt.at(i) != QLatin1String("-"));
            if (!row)
                continue;
            QCOMPARE(row->size(), MeasurementRow::measuredCount);
            QCOMPARE(row->at(tonbattColumn), writtenTonbatt.at(i));
            QCOMPARE(row->at(cumonbattColumn), writtenCumonbatt.at(i));
        }
    }

    void changeOfMeasuredValueGivesRow_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("row");

        QTest::newRow("line voltage moves") << "LINEV"
                                            << "229.0 Volts" << true;
        QTest::newRow("status changes") << "STATUS"
                                        << "ONBATT" << true;
        QTest::newRow("self-test result") << "SELFTEST"
                                          << "OK" << true;
        QTest::newRow("new report time alone") << "DATE"
                                               << "2026-12-07 05:19:18 +0000  " << false;
        QTest::newRow("new END APC alone") << "END APC"
                                           << "2026-12-07 05:19:19 +0000  " << false;
        QTest::newRow("unrelated key") << "HOSTNAME"
                                       << "other" << false;
    }

    void changeOfMeasuredValueGivesRow()
    {
        QFETCH(QString, key);
        QFETCH(QString, value);
        QFETCH(bool, row);

        MeasurementFilter filter;
        filter.setTimesOnBattery(QStringLiteral("0 Seconds"), QStringLiteral("0 Seconds"));
        Record record = onlineRecord();
        QVERIFY(filter.filter(lookupIn(record)).has_value());
        QVERIFY(!filter.filter(lookupIn(record)).has_value());
        record[key] = value;
        QCOMPARE(filter.filter(lookupIn(record)).has_value(), row);
    }

    void forgettingLastRowGivesRowAgain()
    {
        MeasurementFilter filter;
        filter.setTimesOnBattery(QStringLiteral("0 Seconds"), QStringLiteral("0 Seconds"));
        const StatusLookup status = lookupIn(onlineRecord());
        QVERIFY(filter.filter(status).has_value());
        QVERIFY(!filter.filter(status).has_value());
        filter.forgetLastRow();
        QVERIFY(filter.filter(status).has_value());
    }

    void firstRecordAfterStartHasEmptyTimeOnBattery()
    {
        // No record exists when monitoring is set up: both counters start empty.
        MeasurementFilter filter;
        std::optional<QStringList> row = filter.filter(lookupIn(onlineRecord()));
        QVERIFY(row);
        QCOMPARE(row->at(tonbattColumn), QString());
        QCOMPARE(row->at(cumonbattColumn), QStringLiteral("N/A"));
        // On mains the empty count stays until TONBATT reads other than zero.
        row = filter.filter(lookupIn(onlineRecord()));
        QVERIFY(row);
        QCOMPARE(row->at(tonbattColumn), QString());
        QCOMPARE(row->at(cumonbattColumn), QStringLiteral("0 Seconds"));
        QVERIFY(!filter.filter(lookupIn(onlineRecord())));
    }

    void eventWalk_data()
    {
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<int>("position"); // of the stored line in the previous list
        QTest::addColumn<QStringList>("written");

        QTest::newRow("one new line") << QStringList{"A", "B", ""} << "A" << -1 << QStringList{"B"};
        QTest::newRow("empty database works off the file")
                << QStringList{"A", "B", "C", ""} << "" << -1 << QStringList{"A", "B", "C"};
        QTest::newRow("everything stored")
                << QStringList{"A", "B", ""} << "B" << -1 << QStringList{};
        QTest::newRow("empty log") << QStringList{""} << "" << -1 << QStringList{};
        QTest::newRow("no list yet") << QStringList{} << "A" << -1 << QStringList{};
        QTest::newRow("stored line gone from the file")
                << QStringList{"C", "D", ""} << "A" << -1 << QStringList{"C", "D"};
        QTest::newRow("empty line inside stops the walk")
                << QStringList{"A", "", "B", ""} << "A" << -1 << QStringList{};
        QTest::newRow("repeated line, position unknown: its last place")
                << QStringList{"A", "B", "A", "C", ""} << "A" << -1 << QStringList{"C"};
        QTest::newRow("repeated line, position known: from there")
                << QStringList{"A", "B", "A", "C", ""} << "A" << 0 << QStringList{"B", "A", "C"};
        QTest::newRow("list moved under the position: last place")
                << QStringList{"X", "A", "B", ""} << "A" << 0 << QStringList{"B"};
        QTest::newRow("lines with colons and counters")
                << QStringList{"A", "2026-12-07 05:03:10 +0000  Power failure: 10 Seconds", ""}
                << "A" << -1 << QStringList{"2026-12-07 05:03:10 +0000  Power failure: 10 Seconds"};
    }

    void eventWalk()
    {
        QFETCH(QStringList, lines);
        QFETCH(QString, stored);
        QFETCH(int, position);
        QFETCH(QStringList, written);

        // One step per list, as the daemon's list arrives again and again.
        QString lastEventMessage = stored;
        int lastEventIndex = position;
        QStringList rows;
        for (int call = 0; call < lines.size() + 2; ++call) {
            if (const std::optional<QString> next =
                        nextEventToStore(lines, lastEventMessage, lastEventIndex))
                rows.append(*next);
        }
        QCOMPARE(rows, written);
    }

    void eventRow()
    {
        Record record = onlineRecord();
        record.remove(QStringLiteral("MODEL"));
        const QStringList row = eventRowValues(QStringLiteral("Power failure."), lookupIn(record),
                                               QStringLiteral("3"), QStringLiteral("1.0.0a.2"));
        QCOMPARE(row,
                 (QStringList{QString(), QStringLiteral("Power failure."),
                              QStringLiteral("2026-12-07 05:02:44 +0000  "),
                              QStringLiteral("2026-12-07 05:19:17 +0000  "),
                              QStringLiteral("2026-12-07 05:19:18 +0000  "), QStringLiteral("3"),
                              QStringLiteral("1.0.0a.2")}));
    }

    void passedSelfTest_data()
    {
        QTest::addColumn<QString>("selftest");
        QTest::addColumn<QString>("lastxfer");
        QTest::addColumn<QString>("xonbatt");
        QTest::addColumn<bool>("passed");

        const QString when = QStringLiteral("2026-12-07 05:03:10 +0000  ");
        QTest::newRow("automatic self test") << "OK"
                                             << "Automatic or explicit self test" << when << true;
        QTest::newRow("lower-case ok") << "ok"
                                       << "Automatic or explicit self test" << when << true;
        QTest::newRow("failed") << "NG"
                                << "Automatic or explicit self test" << when << false;
        QTest::newRow("power failure") << "OK"
                                       << "Low line voltage" << when << false;
        QTest::newRow("no transfer time") << "OK"
                                          << "Automatic or explicit self test"
                                          << "" << false;
    }

    void passedSelfTest()
    {
        QFETCH(QString, selftest);
        QFETCH(QString, lastxfer);
        QFETCH(QString, xonbatt);
        QFETCH(bool, passed);
        QCOMPARE(isPassedSelfTest(selftest, lastxfer, xonbatt), passed);
    }
};

QTEST_GUILESS_MAIN(TestRows)
#include "tst_rows.moc"
