// The self-test dialogue against stand-in apctest programs whose output
// comes in pieces, and the result of a report.
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
        QTest::addColumn<bool>("splitMenu");
        QTest::addColumn<QByteArray>("report");
        QTest::addColumn<int>("delay"); // seconds between the announcement and the report
        QTest::addColumn<QString>("result");

        // The controller's tests cover every outcome; these cover output in
        // pieces, with pauses shorter and longer than the reads' idle windows.
        QTest::newRow("report after a long pause")
                << false << QByteArray("SUCCESS\n") << 3 << QStringLiteral("Selftest Success");
        QTest::newRow("report after a short pause")
                << false << QByteArray("Result: TEST DID NOT COMPLETE\n") << 1
                << QStringLiteral("Selftest Did not complete");
        QTest::newRow("menu in two pieces")
                << true << QByteArray("SUCCESS\n") << 0 << QStringLiteral("Selftest Success");
    }

    void dialogue()
    {
        QFETCH(bool, splitMenu);
        QFETCH(QByteArray, report);
        QFETCH(int, delay);
        QFETCH(QString, result);

        addTool(usbMenu, announcement, report, delay, splitMenu);
        InstallationProfile profile = InstallationProfile::windows();
        profile.waits = testWaits();
        ServiceControl control(profile, traces->log());

        QCOMPARE(control.selfTestDialogue(), result);
        QCOMPARE(readFile(programs->filePath(QStringLiteral("apctest.input"))),
                 QByteArray("2\nQ\n"));
        // The daemon is stopped before the tool runs.
        QCOMPARE(programs->commands().value(0), QStringLiteral("taskkill|/IM|apcupsd.exe"));

        const QStringList expected{QStringLiteral("Stopping APC Service (apcupsd)"),
                                   QStringLiteral("APC Service (apcupsd) Stoped"),
                                   QStringLiteral("Selftest Started using ") + toolPath,
                                   QStringLiteral("Selftest exec response:\n") +
                                           QString::fromUtf8(usbMenu),
                                   QStringLiteral("Selftest available"),
                                   QStringLiteral("Select 2) Perform self-test"),
                                   QStringLiteral("Perform self-test cmd Sent")};
        const QStringList messages = traces->messages();
        QCOMPARE(messages.mid(0, expected.size()), expected);
        QVERIFY(!messages.join(QLatin1Char('\n')).contains(QStringLiteral("diagnostics")));

        // The answer and the report are traced as they came; a report that
        // came with the announcement is part of the answer's message.
        const QStringList rest = messages.mid(expected.size());
        QCOMPARE(rest.size(), 6);
        QCOMPARE(rest.at(1), QStringLiteral("Waiting for test to complete"));
        QCOMPARE(rest.at(0) + rest.at(2), QString::fromUtf8(announcement + report));
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
