// The self-test dialogue against stand-in apctest programs: the menu, the
// choice, the announcement, the report and the quit command.
#include "apctestdialogue.h"
#include "servicecontrol.h"
#include "standinprograms.h"
#include "tracerecorder.h"

#include <QtTest>

#include <memory>

namespace {

const auto toolPath = QStringLiteral("C:/apcupsd/bin/apctest.exe");
const QByteArray usbMenu = "\n1)  Test kill UPS power\n2)  Perform self-test\n"
                           "3)  Read last self-test result\nQ)  Quit\n\nSelect function number: ";
const QByteArray announcement =
        "\nThis test instructs the UPS to perform a self-test\nof the operating battery.\n"
        "Waiting for test to complete...\n";

void writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestApctestDialogue : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<StandInPrograms> programs;
    std::unique_ptr<TraceRecorder> traces;

    // An apctest that prints menu.txt (in two pieces, a second apart, when
    // split is set), records each line it reads, answers "2" with answer.txt
    // and, after delay seconds, report.txt, and ends on "Q". It also writes
    // to its standard error, which nobody reads.
    void addTool(const QByteArray &menu, const QByteArray &answer, const QByteArray &report,
                 int delaySeconds, bool split)
    {
        const QByteArray dir = QFile::encodeName(programs->path());
        writeFile(programs->filePath(QStringLiteral("menu1.txt")),
                  split ? menu.left(menu.size() / 2) : menu);
        writeFile(programs->filePath(QStringLiteral("menu2.txt")),
                  split ? menu.mid(menu.size() / 2) : QByteArray());
        writeFile(programs->filePath(QStringLiteral("answer.txt")), answer);
        writeFile(programs->filePath(QStringLiteral("report.txt")), report);
        programs->writeScript(toolPath,
                              "d='" + dir +
                                      "'\n"
                                      "echo 'apctest diagnostics' >&2\n"
                                      "cat \"$d/menu1.txt\"\n" +
                                      QByteArray(split ? "sleep 1\n" : "") +
                                      "cat \"$d/menu2.txt\"\n"
                                      "while IFS= read -r line; do\n"
                                      "  printf '%s\\n' \"$line\" >> \"$d/apctest.input\"\n"
                                      "  case \"$line\" in\n"
                                      "    2) cat \"$d/answer.txt\"; sleep " +
                                      QByteArray::number(delaySeconds) +
                                      "; cat \"$d/report.txt\" ;;\n"
                                      "    Q) exit 0 ;;\n"
                                      "  esac\n"
                                      "done\n");
    }

private slots:
    void init()
    {
        programs = std::make_unique<StandInPrograms>();
        traces = std::make_unique<TraceRecorder>();
        programs->addWindowsTools();
    }
    void cleanup()
    {
        traces.reset();
        programs.reset();
    }

    void dialogue_data()
    {
        QTest::addColumn<bool>("toolPresent");
        QTest::addColumn<QByteArray>("menu");
        QTest::addColumn<bool>("splitMenu");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QByteArray>("report");
        QTest::addColumn<int>("delay");
        QTest::addColumn<QString>("result");
        QTest::addColumn<QByteArray>("input"); // what the tool was sent

        QTest::newRow("success") << true << usbMenu << false << announcement
                                 << QByteArray("Test passed: SUCCESS\n") << 0
                                 << QStringLiteral("Selftest Success") << QByteArray("2\nQ\n");
        QTest::newRow("success reported after a pause")
                << true << usbMenu << false << announcement << QByteArray("SUCCESS\n") << 3
                << QStringLiteral("Selftest Success") << QByteArray("2\nQ\n");
        QTest::newRow("menu in two pieces")
                << true << usbMenu << true << announcement << QByteArray("SUCCESS\n") << 0
                << QStringLiteral("Selftest Success") << QByteArray("2\nQ\n");
        QTest::newRow("did not complete")
                << true << usbMenu << false << announcement
                << QByteArray("Result: TEST DID NOT COMPLETE\n") << 0
                << QStringLiteral("Selftest Did not complete") << QByteArray("2\nQ\n");
        QTest::newRow("both words") << true << usbMenu << false << announcement
                                    << QByteArray("TEST DID NOT COMPLETE\nretried: SUCCESS\n") << 0
                                    << QStringLiteral("Selftest Success") << QByteArray("2\nQ\n");
        QTest::newRow("lower-case success")
                << true << usbMenu << false << announcement << QByteArray("success\n") << 0
                << QStringLiteral("Selftest Exception") << QByteArray("2\nQ\n");
        QTest::newRow("one blank in the menu entry")
                << true << QByteArray("1) Test kill UPS power\n2) Perform self-test\nQ) Quit\n")
                << false << announcement << QByteArray("SUCCESS\n") << 0
                << QStringLiteral("Selftest not available Exit") << QByteArray();
        QTest::newRow("no announcement")
                << true << usbMenu << false << QByteArray("Illegal response.\n") << QByteArray()
                << 0 << QStringLiteral("Selftest Error") << QByteArray("2\n");
        QTest::newRow("tool missing")
                << false << QByteArray() << false << QByteArray() << QByteArray() << 0
                << QStringLiteral("Selftest not available Exit") << QByteArray();
    }

    void dialogue()
    {
        QFETCH(bool, toolPresent);
        QFETCH(QByteArray, menu);
        QFETCH(bool, splitMenu);
        QFETCH(QByteArray, answer);
        QFETCH(QByteArray, report);
        QFETCH(int, delay);
        QFETCH(QString, result);
        QFETCH(QByteArray, input);

        if (toolPresent)
            addTool(menu, answer, report, delay, splitMenu);
        InstallationProfile profile = InstallationProfile::windows();
        profile.waits = testWaits();
        ServiceControl control(profile, traces->log());

        QCOMPARE(control.selfTestDialogue(), result);
        QCOMPARE(readFile(programs->filePath(QStringLiteral("apctest.input"))), input);
        // The daemon is stopped before the tool runs.
        QCOMPARE(programs->commands().value(0), QStringLiteral("taskkill|/IM|apcupsd.exe"));

        QStringList expected{QStringLiteral("Stopping APC Service (apcupsd)"),
                             QStringLiteral("APC Service (apcupsd) Stoped"),
                             QStringLiteral("Selftest Started using ") + toolPath};
        if (!menu.isEmpty())
            expected << QStringLiteral("Selftest exec response:\n") + QString::fromUtf8(menu);
        const QStringList messages = traces->messages();
        QCOMPARE(messages.mid(0, expected.size()), expected);
        QVERIFY(!messages.join(QLatin1Char('\n')).contains(QStringLiteral("diagnostics")));
        if (input.isEmpty()) {
            QCOMPARE(messages.size(), expected.size());
            return;
        }

        expected << QStringLiteral("Selftest available")
                 << QStringLiteral("Select 2) Perform self-test")
                 << QStringLiteral("Perform self-test cmd Sent");
        QCOMPARE(messages.mid(0, expected.size()), expected);
        const QStringList rest = messages.mid(expected.size());
        if (result == QLatin1String("Selftest Error")) {
            QCOMPARE(rest,
                     (QStringList{QString::fromUtf8(answer), QStringLiteral("Selftest Error")}));
            return;
        }
        // The answer and the report are traced as they came; a report that
        // came with the announcement is part of the answer's message.
        QCOMPARE(rest.size(), 6);
        QCOMPARE(rest.at(1), QStringLiteral("Waiting for test to complete"));
        QCOMPARE(rest.at(0) + rest.at(2), QString::fromUtf8(answer + report));
        QCOMPARE(
                rest.mid(3),
                (QStringList{QStringLiteral("Exiting Selftest"),
                             QStringLiteral("Selftest Exit cmd Sent"), QStringLiteral("Closing")}));
    }

    void resultOfReport_data()
    {
        QTest::addColumn<QString>("report");
        QTest::addColumn<QString>("result");
        QTest::newRow("success") << QStringLiteral("SUCCESS") << QStringLiteral("Selftest Success");
        QTest::newRow("did not complete") << QStringLiteral("TEST DID NOT COMPLETE")
                                          << QStringLiteral("Selftest Did not complete");
        QTest::newRow("both, success last") << QStringLiteral("TEST DID NOT COMPLETE SUCCESS")
                                            << QStringLiteral("Selftest Success");
        QTest::newRow("lower case") << QStringLiteral("success, test did not complete")
                                    << QStringLiteral("Selftest Exception");
        QTest::newRow("empty") << QString() << QStringLiteral("Selftest Exception");
    }

    void resultOfReport()
    {
        QFETCH(QString, report);
        QTEST(selfTestResult(report), "result");
    }
};

QTEST_GUILESS_MAIN(TestApctestDialogue)
#include "tst_apctestdialogue.moc"
