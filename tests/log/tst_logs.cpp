#include "logs.h"
#include "readonlyfile.h"
#include "testfiles.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <thread>
#include <vector>

namespace {

const QDateTime leapDay(QDate(2016, 2, 29), QTime(10, 11, 12));
const auto banner = QStringLiteral("Voltrine Version 1.1 Log session started ");
// Whoever else may read or write a file.
const QFileDevice::Permissions ownerOnlyMask = QFileDevice::ReadGroup | QFileDevice::WriteGroup |
        QFileDevice::ReadOther | QFileDevice::WriteOther;

QStringList debugMessages;
void collectDebug(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtDebugMsg)
        debugMessages.append(message);
}

} // namespace

class TestLogs : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QVERIFY(dir.isValid());
        path = dir.filePath(QStringLiteral("Trace.log"));
        QFile::remove(path);
    }

    void newFileStartsWithBanner()
    {
        debugMessages.clear();
        const QtMessageHandler previous = qInstallMessageHandler(collectDebug);
        {
            Logs logs(path, [] { return leapDay; });
        }
        qInstallMessageHandler(previous);

        QCOMPARE(readFileBytes(path),
                 QByteArray("\n\nVoltrine Version 1.1 Log session started 2016-02-29 10:11:12"));
        QVERIFY(debugMessages.contains(QStringLiteral("File not exist, new file creating")));
        QCOMPARE(QFile::permissions(path) & ownerOnlyMask, QFileDevice::Permissions());
        QVERIFY(debugMessages.contains(QStringLiteral("Starting Logs ") +
                                       QFileInfo(path).absoluteFilePath()));
    }

    void existingFileGetsOneEmptyLineBeforeNewBanner()
    {
        const QByteArray previousRun =
                "\n\nVoltrine Version 1.1 Log session started 2016-02-28 09:00:00\n"
                "Log:[2016-02-28 09:00:01]: Loading configuration";
        QVERIFY(writeFileBytes(path, previousRun));
        {
            Logs logs(path, [] { return leapDay; });
        }
        QCOMPARE(readFileBytes(path),
                 previousRun + "\n\nVoltrine Version 1.1 Log session started 2016-02-29 10:11:12");
    }

    // Past its limit the file becomes Trace.log.1, the one generation kept,
    // and a new one begins with the banner, for its owner only.
    void fileIsBoundedToOneGeneration()
    {
        Logs logs(path, [] { return leapDay; });
        logs.setSizeLimit(300);
        const QString record = QStringLiteral("No answer from apcupsd");
        for (int i = 0; i < 40; ++i)
            logs.trace(record);

        const QByteArray previous = readFileBytes(path + QStringLiteral(".1"));
        QVERIFY2(previous.size() > 300 && previous.size() < 400, previous.constData());
        QVERIFY(!QFile::exists(path + QStringLiteral(".2")));
        const QByteArray current = readFileBytes(path);
        QVERIFY(current.startsWith(
                "\n\nVoltrine Version 1.1 Log session started 2016-02-29 10:11:12"));
        QVERIFY(current.size() <= 400);
        QCOMPARE(QFile::permissions(path) & ownerOnlyMask, QFileDevice::Permissions());
        // The newest record is kept (the new file may hold only the banner).
        QVERIFY(current.endsWith(record.toLatin1()) || previous.endsWith(record.toLatin1()));
    }

    void relativeNameIsFixedAtCreation()
    {
        const QString before = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir.path()));
        Logs logs(QStringLiteral("Trace.log"), [] { return leapDay; });
        QTemporaryDir elsewhere;
        QVERIFY(QDir::setCurrent(elsewhere.path()));
        logs.trace(QStringLiteral("after chdir"));
        QVERIFY(QDir::setCurrent(before));

        QVERIFY(readFileBytes(path).endsWith("Log:[2016-02-29 10:11:12]: after chdir"));
        QVERIFY(!QFile::exists(elsewhere.filePath(QStringLiteral("Trace.log"))));
    }

    void recordLayout_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QByteArray>("appended");

        QTest::newRow("plain") << QStringLiteral("Configuration file saved")
                               << QByteArray(
                                          "\nLog:[2016-02-29 10:11:12]: Configuration file saved");
        QTest::newRow("empty message") << QString() << QByteArray("\nLog:[2016-02-29 10:11:12]: ");
        QTest::newRow("embedded line breaks")
                << QStringLiteral("first\nsecond\nthird")
                << QByteArray("\nLog:[2016-02-29 10:11:12]: first\nsecond\nthird");
        QTest::newRow("non-Latin text")
                << QStringLiteral("Netz \u00fcberwacht \u2013 \u7535\u6e90")
                << QByteArray("\nLog:[2016-02-29 10:11:12]: Netz \xc3\xbc"
                              "berwacht \xe2\x80\x93 \xe7\x94\xb5\xe6\xba\x90");
    }

    void recordLayout()
    {
        QFETCH(QString, message);
        QFETCH(QByteArray, appended);

        Logs logs(path, [] { return leapDay; });
        const QByteArray before = readFileBytes(path);
        QSignalSpy proxy(&logs, &Logs::LogDbProxy);
        logs.trace(message);

        // The record is on disk as soon as trace() returns.
        QCOMPARE(readFileBytes(path), before + appended);
        QCOMPARE(proxy.count(), 1);
        QCOMPARE(proxy.at(0).at(0).toString(), QStringLiteral("[2016-02-29 10:11:12]: ") + message);
    }

    void fileNeverEndsWithLineBreak()
    {
        Logs logs(path);
        logs.trace(QStringLiteral("one"));
        logs.trace(QStringLiteral("two"));
        const QByteArray content = readFileBytes(path);
        QVERIFY(!content.endsWith('\n'));
        const QRegularExpression record(
                QStringLiteral("^Log:\\[\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\]: two$"));
        QVERIFY(record.match(QString::fromUtf8(content.split('\n').last())).hasMatch());
    }

    void unwritableFileIsSkippedSilently()
    {
        QVERIFY(writeFileBytes(path,
                               "\n\nVoltrine Version 1.1 Log session started 2016-02-28 09:00:00"));
        const QByteArray before = readFileBytes(path);
        ReadOnlyFile readOnly(path);
        if (!readOnly.isEffective())
            QSKIP("cannot make a file read-only here");

        Logs logs(path, [] { return leapDay; });
        QSignalSpy proxy(&logs, &Logs::LogDbProxy);
        logs.trace(QStringLiteral("lost"));
        QCOMPARE(readFileBytes(path), before);
        QCOMPARE(proxy.count(), 1);
    }

    // Several threads trace at once: every record arrives whole, on a line of
    // its own, and none is lost.
    void concurrentRecordsNeverInterleave()
    {
        constexpr int threadCount = 8;
        constexpr int recordsPerThread = 2000;
        Logs logs(path, [] { return leapDay; });

        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < threadCount; ++t) {
            threads.emplace_back([&logs, &go, t] {
                while (!go.load())
                    std::this_thread::yield();
                for (int i = 0; i < recordsPerThread; ++i)
                    logs.trace(QStringLiteral("thread %1 record %2 %3")
                                       .arg(t)
                                       .arg(i)
                                       .arg(QString(40, QLatin1Char('x'))));
            });
        }
        go = true;
        for (auto &thread : threads)
            thread.join();

        const QList<QByteArray> lines = readFileBytes(path).split('\n');
        // Two empty lines and the banner come first.
        QCOMPARE(lines.size(), 3 + threadCount * recordsPerThread);
        const QRegularExpression record(QStringLiteral(
                "^Log:\\[2016-02-29 10:11:12\\]: thread (\\d) record (\\d+) x{40}$"));
        std::vector<std::vector<int>> seen(threadCount);
        for (int i = 3; i < lines.size(); ++i) {
            const auto match = record.match(QString::fromLatin1(lines.at(i)));
            QVERIFY2(match.hasMatch(), lines.at(i).constData());
            seen[match.captured(1).toInt()].push_back(match.captured(2).toInt());
        }
        for (int t = 0; t < threadCount; ++t) {
            QCOMPARE(int(seen[t].size()), recordsPerThread);
            // Each thread's own records keep their order.
            for (int i = 0; i < recordsPerThread; ++i)
                QCOMPARE(seen[t][i], i);
        }
    }

private:
    QTemporaryDir dir;
    QString path;
};

QTEST_GUILESS_MAIN(TestLogs)
#include "tst_logs.moc"
