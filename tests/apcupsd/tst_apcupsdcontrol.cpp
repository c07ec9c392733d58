// The controller as the program uses it: its settings defaults, its thread,
// and the self-test against stand-in apctest programs, with a real network
// client polling a recording server and stand-in Windows tools that leave
// their marks in the same server's record, so that the order of what the
// client asked and what the tools did can be read off one sequence.
#include "apctestdialogue.h"
#include "apcupsdcontrol.h"
#include "comthrd.h"
#include "recordingnisserver.h"
#include "registry.h"
#include "standinprograms.h"
#include "tracerecorder.h"

#include <QSignalSpy>
#include <QtTest>

#include <memory>

namespace {

const auto daemonRun = QStringLiteral("C:/apcupsd/bin/apcupsd.exe");
const auto toolPath = QStringLiteral("C:/apcupsd/bin/apctest.exe");
const QByteArray usbMenu = "\n1)  Test kill UPS power\n2)  Perform self-test\n"
                           "3)  Read last self-test result\nQ)  Quit\n\nSelect function number: ";
const QByteArray announcement =
        "\nThis test instructs the UPS to perform a self-test\nof the operating battery.\n"
        "Waiting for test to complete...\n";

bool isPoll(const QString &request)
{
    return request == QLatin1String("status") || request == QLatin1String("events");
}

} // namespace

class TestApcUpsdControl : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<StandInPrograms> programs;
    std::unique_ptr<RecordingNisServer> server;
    std::unique_ptr<TraceRecorder> traces;
    std::unique_ptr<TraceRecorder> otherTraces;
    std::unique_ptr<Registry> registry;
    std::unique_ptr<COMThrd> client;

    // A shell line that sends text to the recording server and waits until
    // the server has recorded it.
    QByteArray marker(const QByteArray &text) const
    {
        return "bash -c 'exec 3<>/dev/tcp/127.0.0.1/" + QByteArray::number(server->port()) +
                " && printf \"\\0\\" + QByteArray::number(text.size(), 8).rightJustified(3, '0') +
                text + "\" >&3 && head -c 1 <&3 >/dev/null'\n";
    }

    std::unique_ptr<ApcUpsdControl> makeControl(const ControlWaits &waits = testWaits())
    {
        InstallationProfile profile = InstallationProfile::windows();
        profile.waits = waits;
        return std::make_unique<ApcUpsdControl>(profile, registry.get(), traces->log(),
                                                client.get());
    }

    int polls() const
    {
        const QStringList requests = server->requests();
        return int(std::count_if(requests.begin(), requests.end(), isPoll));
    }

    // An apctest that marks its start, prints the menu (in two pieces a
    // second apart when split), records each line it reads, answers "2" with
    // the announcement and, after delay seconds, the report, and ends on "Q".
    // It also writes to its standard error, which nobody reads.
    void addTool(const QByteArray &menu, const QByteArray &answer, const QByteArray &report,
                 int delaySeconds = 0, bool split = false)
    {
        const QByteArray dir = QFile::encodeName(programs->path());
        const int half = split ? menu.size() / 2 : menu.size();
        writeFileContent(programs->filePath(QStringLiteral("menu1.txt")), menu.left(half));
        writeFileContent(programs->filePath(QStringLiteral("menu2.txt")), menu.mid(half));
        writeFileContent(programs->filePath(QStringLiteral("answer.txt")), answer);
        writeFileContent(programs->filePath(QStringLiteral("report.txt")), report);
        programs->writeScript(toolPath,
                              "d='" + dir + "'\n" + marker("apctest") +
                                      "echo 'apctest diagnostics' >&2\n"
                                      "cat \"$d/menu1.txt\"\n" +
                                      (split ? "sleep 1\n" : "") +
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
        server = std::make_unique<RecordingNisServer>();
        traces = std::make_unique<TraceRecorder>();
        otherTraces = std::make_unique<TraceRecorder>();
        programs->addWindowsTools();
        // The stand-in tools leave their mark in the server's record before they end.
        programs->addRecorder(
                QStringLiteral("bin/tasklist"), "tasklist",
                marker("tasklist") + "cat '" +
                        QFile::encodeName(programs->filePath(QStringLiteral("tasklist.out"))) +
                        "'\n");
        programs->addRecorder(QStringLiteral("bin/taskkill"), "taskkill", marker("taskkill"));
        programs->addRecorder(daemonRun, "\"$0\"");

        registry = std::make_unique<Registry>(otherTraces->log(),
                                              programs->filePath(QStringLiteral("confdata")));
        registry->setKey(QStringLiteral("upshost"), QStringLiteral("127.0.0.1"));
        registry->setKey(QStringLiteral("upsport"), QString::number(server->port()));
        client = std::make_unique<COMThrd>(registry.get(), otherTraces->log());
    }

    void cleanup()
    {
        client.reset();
        registry.reset();
        otherTraces.reset();
        traces.reset();
        server.reset();
        programs.reset();
    }

    void constructionFillsMissingSettings_data()
    {
        QTest::addColumn<QString>("storedType");
        QTest::addColumn<QString>("storedPort");
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("port");
        QTest::newRow("both missing")
                << QString() << QString() << QStringLiteral("USB") << QStringLiteral("NA");
        QTest::newRow("serial kept") << QStringLiteral("RS232") << QStringLiteral("COM3")
                                     << QStringLiteral("RS232") << QStringLiteral("COM3");
        QTest::newRow("port missing") << QStringLiteral("RS232") << QString()
                                      << QStringLiteral("RS232") << QStringLiteral("NA");
    }

    void constructionFillsMissingSettings()
    {
        QFETCH(QString, storedType);
        QFETCH(QString, storedPort);
        if (!storedType.isEmpty())
            registry->setKey(QStringLiteral("upscontype"), storedType);
        if (!storedPort.isEmpty())
            registry->setKey(QStringLiteral("uspcomport"), storedPort);

        auto control = makeControl();
        QTEST(registry->getKey(QStringLiteral("upscontype")), "type");
        QTEST(registry->getKey(QStringLiteral("uspcomport")), "port");
        QCOMPARE(traces->messages(), QStringList{QStringLiteral("Acpupsd binary control ready")});
        // New keys reach the file at once.
        Registry reloaded(otherTraces->log(), programs->filePath(QStringLiteral("confdata")));
        QTEST(reloaded.getKey(QStringLiteral("upscontype")), "type");
        QTEST(reloaded.getKey(QStringLiteral("uspcomport")), "port");
    }

    void threadWithoutRequestStartsServicesAndClient()
    {
        auto control = makeControl();
        QSignalSpy started(control.get(), &ApcUpsdControl::SelfTestStarted);
        QSignalSpy finished(control.get(), &ApcUpsdControl::SelfTestFinished);
        control->start();
        QVERIFY(control->wait(60000));

        QCOMPARE(programs->commands().value(0), QStringLiteral("tasklist"));
        QTRY_COMPARE_WITH_TIMEOUT(programs->commands().value(1), daemonRun, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(polls() > 0, 20000);
        QVERIFY(client->isRunning());
        QCOMPARE(started.count(), 0);
        QCOMPARE(finished.count(), 0);
        QVERIFY(!traces->messages().contains(QStringLiteral("Prepare Apctest")));
    }

    void selfTest_data()
    {
        QTest::addColumn<bool>("toolPresent");
        QTest::addColumn<QByteArray>("menu");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QByteArray>("report");
        QTest::addColumn<QString>("result");
        QTest::addColumn<QByteArray>("input"); // what the tool was sent

        QTest::newRow("success") << true << usbMenu << announcement
                                 << QByteArray("Test passed: SUCCESS\n")
                                 << QStringLiteral("Selftest Success") << QByteArray("2\nQ\n");
        QTest::newRow("did not complete")
                << true << usbMenu << announcement << QByteArray("Result: TEST DID NOT COMPLETE\n")
                << QStringLiteral("Selftest Did not complete") << QByteArray("2\nQ\n");
        QTest::newRow("both words") << true << usbMenu << announcement
                                    << QByteArray("TEST DID NOT COMPLETE\nretried: SUCCESS\n")
                                    << QStringLiteral("Selftest Success") << QByteArray("2\nQ\n");
        QTest::newRow("lower-case success")
                << true << usbMenu << announcement << QByteArray("success\n")
                << QStringLiteral("Selftest Exception") << QByteArray("2\nQ\n");
        QTest::newRow("one blank in the menu entry")
                << true << QByteArray("1) Test kill UPS power\n2) Perform self-test\nQ) Quit\n")
                << announcement << QByteArray("SUCCESS\n")
                << QStringLiteral("Selftest not available Exit") << QByteArray();
        QTest::newRow("no announcement")
                << true << usbMenu << QByteArray("Illegal response.\n") << QByteArray()
                << QStringLiteral("Selftest Error") << QByteArray("2\n");
        QTest::newRow("tool missing")
                << false << QByteArray() << QByteArray() << QByteArray()
                << QStringLiteral("Selftest not available Exit") << QByteArray();
    }

    void selfTest()
    {
        QFETCH(bool, toolPresent);
        QFETCH(QByteArray, menu);
        QFETCH(QByteArray, answer);
        QFETCH(QByteArray, report);
        QFETCH(QString, result);
        QFETCH(QByteArray, input);

        if (toolPresent)
            addTool(menu, answer, report);
        auto control = makeControl();
        traces->clear();
        client->start();
        QTRY_VERIFY_WITH_TIMEOUT(polls() > 0, 20000);

        QSignalSpy started(control.get(), &ApcUpsdControl::SelfTestStarted);
        QSignalSpy finished(control.get(), &ApcUpsdControl::SelfTestFinished);
        control->requestSelfTest();
        QVERIFY(control->isSelfTestRequested());
        QVERIFY(finished.wait(120000));
        QVERIFY(control->wait(20000));
        QCOMPARE(started.count(), 1);
        QCOMPARE(finished.count(), 1);
        QVERIFY(!control->isSelfTestRequested());
        QCOMPARE(fileContent(programs->filePath(QStringLiteral("apctest.input"))), input);

        // apcupsd is stopped before the tool and started again after it.
        QTRY_COMPARE_WITH_TIMEOUT(programs->commands(),
                                  (QStringList{QStringLiteral("taskkill|/IM|apcupsd.exe"),
                                               QStringLiteral("tasklist"), daemonRun}),
                                  20000);

        // The client polled before, not at all from the stop of apcupsd until
        // the process list of the restart, and polls again after it.
        QTRY_VERIFY_WITH_TIMEOUT(server->requests().lastIndexOf(QStringLiteral("status")) >
                                         server->requests().indexOf(QStringLiteral("tasklist")),
                                 20000);
        const QStringList requests = server->requests();
        const int stopped = requests.indexOf(QStringLiteral("taskkill"));
        const int listed = requests.indexOf(QStringLiteral("tasklist"));
        QVERIFY2(stopped > 0 && listed > stopped, qPrintable(requests.join(QLatin1Char(' '))));
        QVERIFY(std::any_of(requests.begin(), requests.begin() + stopped, isPoll));
        const QStringList whileTesting = requests.mid(stopped + 1, listed - stopped - 1);
        QCOMPARE(whileTesting,
                 toolPresent ? QStringList{QStringLiteral("apctest")} : QStringList());
        QVERIFY(client->isRunning());

        // The controller's own record, from the request to the restart.
        const QStringList messages = traces->messages();
        QStringList expected{QStringLiteral("Prepare Apctest"),
                             QStringLiteral("Stopping APC Service (apcupsd)"),
                             QStringLiteral("APC Service (apcupsd) Stoped"),
                             QStringLiteral("Selftest Started using ") + toolPath};
        if (toolPresent)
            expected << QStringLiteral("Selftest exec response:\n") + QString::fromUtf8(menu);
        if (!input.isEmpty())
            expected << QStringLiteral("Selftest available")
                     << QStringLiteral("Select 2) Perform self-test")
                     << QStringLiteral("Perform self-test cmd Sent");
        QCOMPARE(messages.mid(0, expected.size()), expected);
        QVERIFY(!messages.join(QLatin1Char('\n')).contains(QStringLiteral("diagnostics")));

        QStringList dialogueEnd;
        if (result == QLatin1String("Selftest Error"))
            dialogueEnd << QString::fromUtf8(answer) << QStringLiteral("Selftest Error");
        else if (!input.isEmpty())
            // The report comes with the announcement, so the report's own read is empty.
            dialogueEnd << QString::fromUtf8(answer + report)
                        << QStringLiteral("Waiting for test to complete") << QString()
                        << QStringLiteral("Exiting Selftest")
                        << QStringLiteral("Selftest Exit cmd Sent") << QStringLiteral("Closing");
        dialogueEnd << QStringLiteral("Selftest END: ") + result
                    << QStringLiteral("Starting apcupsd services")
                    << QStringLiteral("Reading process list") << QStringLiteral("Process list ")
                    << QStringLiteral("Starting APC Service (apcupsd)");
        QCOMPARE(messages.mid(expected.size()), dialogueEnd);
    }

    void secondRequestWhileRunningOnlySetsTheFlag()
    {
        addTool(usbMenu, announcement, QByteArray("SUCCESS\n"));
        auto control = makeControl();
        QSignalSpy finished(control.get(), &ApcUpsdControl::SelfTestFinished);
        control->requestSelfTest();
        QTRY_VERIFY_WITH_TIMEOUT(server->requests().contains(QStringLiteral("apctest")), 60000);
        control->requestSelfTest();
        QVERIFY(control->isSelfTestRequested());
        QVERIFY(finished.wait(120000));
        QVERIFY(control->wait(20000));
        QCOMPARE(finished.count(), 1);
        QVERIFY(!control->isSelfTestRequested());
        QCOMPARE(server->requests().count(QStringLiteral("apctest")), 1);
    }

    // The dialogue holds no lock while the tool talks: a configuration save
    // made meanwhile (here on the test's thread, as on the window's) returns
    // while the tool is still talking, and the dialogue then ends as usual.
    void configurationSaveWhileTheToolTalks()
    {
        const QByteArray dir = QFile::encodeName(programs->path());
        writeFileContent(programs->filePath(QStringLiteral("menu.txt")), usbMenu);
        writeFileContent(programs->filePath(QStringLiteral("answer.txt")), announcement);
        // After the announcement it reports progress until released (or for
        // a minute at most), then notes that it is done and gives its result.
        programs->writeScript(toolPath,
                              "d='" + dir +
                                      "'\n"
                                      "cat \"$d/menu.txt\"\n"
                                      "while IFS= read -r line; do\n"
                                      "  printf '%s\\n' \"$line\" >> \"$d/apctest.input\"\n"
                                      "  case \"$line\" in\n"
                                      "    2) cat \"$d/answer.txt\"; n=0\n"
                                      "       while [ ! -e \"$d/release\" ] && [ $n -lt 600 ]; do\n"
                                      "         echo 'testing...'; sleep 0.1; n=$((n+1))\n"
                                      "       done\n"
                                      "       : > \"$d/talked\"; echo SUCCESS ;;\n"
                                      "    Q) exit 0 ;;\n"
                                      "  esac\n"
                                      "done\n");
        QVERIFY(QDir().mkpath(QStringLiteral("C:/apcupsd/etc/apcupsd")));
        auto control = makeControl();
        QSignalSpy finished(control.get(), &ApcUpsdControl::SelfTestFinished);
        control->requestSelfTest();
        QTRY_COMPARE_WITH_TIMEOUT(fileContent(programs->filePath(QStringLiteral("apctest.input"))),
                                  QByteArray("2\n"), 60000);

        control->writeUsbConfig();
        QVERIFY(traces->messages().contains(
                QStringLiteral("Apcupsd USB Configuration file saved")));
        const bool toolStillTalking =
                !QFileInfo::exists(programs->filePath(QStringLiteral("talked")));
        writeFileContent(programs->filePath(QStringLiteral("release")), QByteArray());
        QVERIFY(toolStillTalking);
        QVERIFY(finished.wait(120000));
        QVERIFY(control->wait(20000));
        QVERIFY(traces->messages().contains(QStringLiteral("Selftest END: Selftest Success")));
    }

    // A tool that prints without end is read no longer than the limit, and
    // ended.
    void endlessOutputIsCutShort()
    {
        programs->writeScript(toolPath,
                              "while :; do echo 'Select function number: '; "
                              "sleep 0.01; done\n");
        ControlWaits waits = testWaits();
        waits.toolReadLimitMs = 2000;
        auto control = makeControl(waits);
        QCOMPARE(control->selfTest(true), QStringLiteral("Selftest not available Exit"));
    }

    void dialogueWithOutputInPieces_data()
    {
        QTest::addColumn<bool>("splitMenu");
        QTest::addColumn<QByteArray>("report");
        QTest::addColumn<int>("delay"); // seconds between the announcement and the report
        QTest::addColumn<QString>("result");

        // Pauses shorter and longer than the reads' idle windows.
        QTest::newRow("report after a long pause")
                << false << QByteArray("SUCCESS\n") << 3 << QStringLiteral("Selftest Success");
        QTest::newRow("report after a short pause")
                << false << QByteArray("Result: TEST DID NOT COMPLETE\n") << 1
                << QStringLiteral("Selftest Did not complete");
        QTest::newRow("menu in two pieces")
                << true << QByteArray("SUCCESS\n") << 0 << QStringLiteral("Selftest Success");
    }

    void dialogueWithOutputInPieces()
    {
        QFETCH(bool, splitMenu);
        QFETCH(QByteArray, report);
        QFETCH(int, delay);
        QFETCH(QString, result);

        addTool(usbMenu, announcement, report, delay, splitMenu);
        auto control = makeControl();
        traces->clear();
        QCOMPARE(control->selfTest(true), result);
        QCOMPARE(fileContent(programs->filePath(QStringLiteral("apctest.input"))),
                 QByteArray("2\nQ\n"));

        // The menu is traced whole; the answer and the report as they came (a
        // report that came with the announcement is part of the answer's message).
        const QStringList messages = traces->messages();
        QCOMPARE(messages.value(4),
                 QStringLiteral("Selftest exec response:\n") + QString::fromUtf8(usbMenu));
        const int announced = messages.indexOf(QStringLiteral("Waiting for test to complete"));
        QVERIFY(announced > 0);
        QCOMPARE(messages.at(announced - 1) + messages.value(announced + 1),
                 QString::fromUtf8(announcement + report));
        QCOMPARE(messages.value(announced + 2), QStringLiteral("Exiting Selftest"));
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

QTEST_GUILESS_MAIN(TestApcUpsdControl)
#include "tst_apcupsdcontrol.moc"
