// Real processes compete for a data folder: this program started with
// "--claim <folder>" claims it as the program does, says "running", "later" or
// "silent", then "shown" per request to show the window, and ends with stdin.
#include "singleinstance.h"

#include <QProcess>
#include <QtTest>

#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Lines = QList<QByteArray>;
const QByteArray running = "running", later = "later", silent = "silent";
const QString lockName = "voltrine.lock";

int claimAndReport(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QDir folder(QString::fromLocal8Bit(argv[2]));
    // With a third argument, first what a program killed in a PID namespace of
    // its own leaves to the next one with its number there: a lock naming it.
    QLockFile own(folder.filePath("own.lock"));
    if (argc > 3 &&
        !(own.tryLock(0) && QFile::copy(folder.filePath("own.lock"), folder.filePath(lockName))))
        return 2;
    SingleInstance instance(folder.path());
    QTextStream out(stdout);
    if (const auto outcome = instance.claim(); outcome != SingleInstance::Outcome::Runs) {
        out << (outcome == SingleInstance::Outcome::OtherShown ? later : silent) << Qt::endl;
        return 0;
    }
    QObject::connect(&instance, &SingleInstance::activationRequested,
                     [&out] { out << "shown" << Qt::endl; });
    std::thread stdinWatch([&application] {
        for (std::string line; std::getline(std::cin, line);) { }
        QMetaObject::invokeMethod(&application, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    out << running << Qt::endl;
    const int exitCode = application.exec();
    stdinWatch.join();
    return exitCode;
}

// The whole lines a process has written so far.
Lines lines(QProcess *process)
{
    Lines all = process->peek(process->bytesAvailable()).split('\n');
    all.removeLast();
    return all;
}

// How the first is left before the second starts. HeldSilently: the test holds
// the lock and answers no one; SelfNamed: the second plants a lock naming itself.
enum class First { Running, Killed, LockRemoved, HeldSilently, SelfNamed };

} // namespace

Q_DECLARE_METATYPE(First)

class TestSingleInstance : public QObject
{
    Q_OBJECT

private:
    std::vector<std::unique_ptr<QProcess>> processes;
    std::unique_ptr<QTemporaryDir> dir; // outlives the processes of a row

    QProcess *start(const QString &folder, const QStringList &options = {})
    {
        processes.push_back(std::make_unique<QProcess>());
        processes.back()->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        processes.back()->start(QCoreApplication::applicationFilePath(),
                                QStringList{"--claim", folder} + options);
        return processes.back().get();
    }

    // Ends a claimant as the program ends, letting go of the folder.
    static bool stop(QProcess *process)
    {
        process->closeWriteChannel();
        return process->waitForFinished(15000) && process->exitStatus() == QProcess::NormalExit &&
                process->exitCode() == 0;
    }

private slots:
    void init() { dir = std::make_unique<QTemporaryDir>(); }

    void cleanup()
    {
        for (const auto &process : processes) {
            if (process->state() != QProcess::NotRunning && !stop(process.get()))
                process->kill();
        }
        processes.clear();
        dir.reset();
    }

    void laterStart_data()
    {
        QTest::addColumn<First>("first");
        QTest::addColumn<QString>("secondFolder"); // "data" is the first's
        QTest::addColumn<bool>("together");        // not after the first runs
        QTest::addColumn<QByteArray>("secondSays");
        QTest::newRow("same folder") << First::Running << "data" << false << later;
#ifdef Q_OS_UNIX
        QTest::newRow("same folder through a link") << First::Running << "link" << false << later;
#endif
        QTest::newRow("both at once") << First::Running << "data" << true << later;
        QTest::newRow("another folder") << First::Running << "other" << false << running;
        QTest::newRow("first killed") << First::Killed << "data" << false << running;
        QTest::newRow("lock file removed") << First::LockRemoved << "data" << false << later;
        QTest::newRow("lock held, no answer") << First::HeldSilently << "data" << false << silent;
        QTest::newRow("lock naming the second") << First::SelfNamed << "data" << false << running;
    }

    // The process that runs for a folder is shown exactly once by a later
    // start, which ends with 0; any other process is never shown.
    void laterStart()
    {
        QFETCH(First, first);
        QFETCH(QString, secondFolder);
        QFETCH(bool, together);
        QFETCH(QByteArray, secondSays);
        const QString folder = dir->filePath("data");
        QVERIFY(QDir().mkpath(folder) && QDir().mkpath(dir->filePath("other")));
        QVERIFY(secondFolder != "link" || QFile::link(folder, dir->filePath("link")));

        QProcess *firstProcess = nullptr;
        QLockFile held(QDir(folder).filePath(lockName));
        if (first == First::HeldSilently) {
            QVERIFY(held.tryLock(0));
        } else if (first != First::SelfNamed) {
            firstProcess = start(folder);
            if (!together)
                QTRY_COMPARE_WITH_TIMEOUT(lines(firstProcess), Lines{running}, 15000);
        }
        if (first == First::Killed) {
            firstProcess->kill();
            QVERIFY(firstProcess->waitForFinished());
        }
        QVERIFY(first != First::LockRemoved || QFile::remove(QDir(folder).filePath(lockName)));
        QProcess *second = start(dir->filePath(secondFolder),
                                 first == First::SelfNamed ? QStringList{"plant"} : QStringList());
        if (together) {
            QTRY_VERIFY_WITH_TIMEOUT(!lines(firstProcess).isEmpty() && !lines(second).isEmpty(),
                                     15000);
            if (lines(firstProcess).constFirst() != running)
                std::swap(firstProcess, second);
        }

        // Who runs for the second's folder is reached by the next start.
        QProcess *runner = firstProcess, *asker = second;
        QByteArray askerSays = secondSays;
        if (secondSays == running) {
            QTRY_COMPARE_WITH_TIMEOUT(lines(second), Lines{running}, 15000);
            runner = second;
            asker = start(dir->filePath(secondFolder));
            askerSays = later;
        }
        QTRY_COMPARE_WITH_TIMEOUT(asker->state(), QProcess::NotRunning, 15000);
        QCOMPARE(asker->exitStatus(), QProcess::NormalExit);
        QCOMPARE(asker->exitCode(), 0);
        QCOMPARE(lines(asker), Lines{askerSays});
        if (askerSays == silent)
            return;
        QTRY_COMPARE_WITH_TIMEOUT(lines(runner).size(), 2, 15000);
        QVERIFY(stop(runner));
        QCOMPARE(lines(runner), (Lines{running, "shown"}));
        if (runner == second && first == First::Running) {
            QVERIFY(stop(firstProcess));
            QCOMPARE(lines(firstProcess), Lines{running});
        }
    }
};

int main(int argc, char *argv[])
{
    if (argc >= 3 && qstrcmp(argv[1], "--claim") == 0)
        return claimAndReport(argc, argv);
    QCoreApplication application(argc, argv);
    TestSingleInstance test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_singleinstance.moc"
