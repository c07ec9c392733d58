#include "journalreader.h"
#include "serverconnection.h"
#include "tcpproxy.h"
#include "testfiles.h"
#include "testmariadb.h"
#include "upssimulator.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

// The built program, end to end: the UPS simulator as the master of a real
// apcupsd in network-slave mode, the private MariaDB through ODBC, and a home
// of its own for the per-user values. The program runs in mount and PID
// namespaces of its own in which the system's apcupsd path starts the test's
// daemon, so that its service control sees and ends only that daemon.
class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (geteuid() != 0)
            QSKIP("needs root for the namespaces that keep the program away from the machine's "
                  "apcupsd");
        if (QProcess::execute(QStringLiteral("unshare"),
                              {QStringLiteral("--mount"), QStringLiteral("--pid"),
                               QStringLiteral("--fork"), QStringLiteral("--mount-proc"),
                               QStringLiteral("true")}) != 0)
            QSKIP("this machine does not allow mount and PID namespaces");
        const QString apcupsd = QFile::symLinkTarget(QStringLiteral("/sbin/apcupsd")).isEmpty()
                ? QStringLiteral("/sbin/apcupsd")
                : QFile::symLinkTarget(QStringLiteral("/sbin/apcupsd"));
        QVERIFY2(QFile::exists(QStringLiteral("/sbin/apcupsd")),
                 "apcupsd is not installed (scripts/install-deps)");
        QVERIFY2(server.isValid(), qPrintable(server.errorString()));
        QVERIFY(dir.isValid());
        QVERIFY(simulator.listen());
        QVERIFY(simulator.execute(QStringLiteral("set MODEL Back-UPS ES 700G")));

        // The daemon: a copy of Debian's apcupsd (so that its process is
        // called apcupsd), started by a wrapper on the test's configuration.
        QVERIFY(QDir().mkpath(path("real")));
        QVERIFY(QFile::copy(QStringLiteral("/sbin/apcupsd"), path("real/apcupsd")));
        QVERIFY(QFile::setPermissions(path("real/apcupsd"),
                                      QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        writeExecutable("apcupsd-wrapper",
                        "#!/bin/sh\nexec '" + bytes(path("real/apcupsd")) + "' -f '" +
                                bytes(path("apcupsd.conf")) + "'\n");
        // Only records its arguments: the system's script shuts the machine
        // down on a low battery.
        writeExecutable("apccontrol",
                        "#!/bin/sh\necho \"$*\" >> '" + bytes(path("apccontrol.calls")) + "'\n");
        nisPort = freePort();
        QVERIFY(writeFileBytes(
                path("apcupsd.conf"),
                "## apcupsd.conf v1.1 ##\nUPSCABLE ether\nUPSTYPE net\nDEVICE 127.0.0.1:" +
                        QByteArray::number(simulator.port()) +
                        "\nPOLLTIME 1\nNETSERVER on\n"
                        "NISIP 127.0.0.1\nNISPORT " +
                        QByteArray::number(nisPort) +
                        "\n"
                        "EVENTSFILE " +
                        bytes(path("events")) + "\nSTATFILE " + bytes(path("status")) +
                        "\nSCRIPTDIR " + bytes(dir.path()) + "\nPWRFAILDIR " + bytes(dir.path()) +
                        "\nNOLOGINDIR " + bytes(dir.path()) + "\nLOCKFILE " + bytes(dir.path()) +
                        "\n"));
        QVERIFY(QDir().mkpath(path("work")));
        QVERIFY(QDir().mkpath(path("home")));
        Q_UNUSED(apcupsd)
    }

    void cleanupTestCase() { stopProgram(); }

    void startMonitorsAndWritesFirstRow()
    {
        QVERIFY(server.createSchema(QStringLiteral("e2e")));
        writeConfdata(QStringLiteral("e2e"));
        startProgram();
        QTRY_VERIFY_WITH_TIMEOUT(trace().contains("]: Monitoring Started"), 60000);
        const QByteArray log = trace();
        QList<int> positions;
        for (const char *line : {"]: Loading secance Begin", "]: Starting apcupsd services",
                                 "]: Reading process list", "]: Starting APC Service (apcupsd)",
                                 "]: Loading secance End", "]: Monitoring Started"}) {
            positions.append(log.indexOf(line));
            QVERIFY2(positions.last() >= 0, line);
        }
        QVERIFY(positions[0] < positions[1] && positions[1] < positions[2] &&
                positions[2] < positions[3] && positions[3] < positions[5]);
        QVERIFY(log.contains("]: Logging timer started with 600000 ms interval"));
        QCOMPARE(query("SHOW TABLES"),
                 (QStringList{QStringLiteral("upsevents"), QStringLiteral("upsmeasurements"),
                              QStringLiteral("voltrine_delivery")}));
        QTRY_VERIFY_WITH_TIMEOUT(count("upsmeasurements") >= 1, 60000);
        QCOMPARE(query("SELECT status FROM upsmeasurements ORDER BY id LIMIT 1"),
                 QStringList{QStringLiteral("ONLINE SLAVE")});
    }

    void secondStartInTheSameFolderEnds()
    {
        QVERIFY(program);
        std::unique_ptr<QProcess> running = std::move(program);
        startProgram();
        std::unique_ptr<QProcess> second = std::move(program);
        program = std::move(running);
        QVERIFY(second->waitForFinished(30000));
        QCOMPARE(second->exitCode(), 0);
        QCOMPARE(program->state(), QProcess::Running);
        QCOMPARE(trace().count("]: Loading secance Begin"), 1);
    }

    void powerFailureAndReturn()
    {
        QVERIFY(program);
        QTRY_VERIFY_WITH_TIMEOUT(eventsInFile().size() >= 1, 60000);
        QVERIFY(simulator.execute(QStringLiteral("powerfail")));
        QTRY_VERIFY_WITH_TIMEOUT(query("SELECT status FROM upsmeasurements")
                                         .contains(QStringLiteral("ONBATT SLAVE")),
                                 60000);
        QTRY_COMPARE_WITH_TIMEOUT(hardwareValue(QStringLiteral("UPSStatus")),
                                  QStringLiteral("ONBATT SLAVE"), 30000);
        // The daemon reports the battery period once its on-battery delay has
        // passed; then it counts the seconds on battery.
        QTRY_VERIFY_WITH_TIMEOUT(eventsInFile()
                                         .join(QLatin1Char('\n'))
                                         .contains(QLatin1String("Running on UPS batteries.")),
                                 60000);
        QVERIFY(simulator.execute(QStringLiteral("powerback")));
        QTRY_COMPARE_WITH_TIMEOUT(
                query("SELECT status FROM upsmeasurements ORDER BY id DESC LIMIT 1"),
                QStringList{QStringLiteral("ONLINE SLAVE")}, 60000);
        QTRY_COMPARE_WITH_TIMEOUT(hardwareValue(QStringLiteral("UPSStatus")),
                                  QStringLiteral("ONLINE SLAVE"), 30000);

        // Back on mains, the row carries the last count seen on battery.
        const QStringList afterReturn = query("SELECT onbattsince FROM upsmeasurements WHERE id > "
                                              "(SELECT MAX(id) FROM upsmeasurements "
                                              "WHERE status LIKE 'ONBATT%') ORDER BY id LIMIT 1");
        QCOMPARE(afterReturn.size(), 1);
        QVERIFY2(QRegularExpression(QStringLiteral("^[1-9][0-9]* Seconds$"))
                         .match(afterReturn.first())
                         .hasMatch(),
                 qPrintable(afterReturn.first()));

        // Every line of the daemon's events file, once, in file order.
        QTRY_VERIFY_WITH_TIMEOUT(
                eventsInFile().join(QLatin1Char('\n')).contains(QLatin1String("Mains returned")),
                60000);
        QTRY_COMPARE_WITH_TIMEOUT(query("SELECT message FROM upsevents ORDER BY id"),
                                  eventsInFile(), 60000);
        const QStringList described =
                query("SELECT DISTINCT CONCAT(model, '|', startdate <> 'N/A', '|', "
                      "lastdump <> 'N/A', '|', datetime <> 'N/A') FROM upsevents");
        QCOMPARE(described, QStringList{QStringLiteral("Back-UPS ES 700G|1|1|1")});
    }

    void restartWritesNoEventTwice()
    {
        stopProgram();
        startProgram();
        QTRY_VERIFY_WITH_TIMEOUT(trace().count("]: Monitoring Started") >= 2, 60000);
        const int replies = simulator.requestsServed();
        QTRY_VERIFY_WITH_TIMEOUT(simulator.requestsServed() >= replies + 5, 60000);
        // The daemon's new start-up line is new; nothing else is written again.
        QTRY_COMPARE_WITH_TIMEOUT(query("SELECT message FROM upsevents ORDER BY id"),
                                  eventsInFile(), 60000);
    }

    void freshDatabaseGetsWholeEventFile()
    {
        stopProgram();
        QVERIFY(server.createSchema(QStringLiteral("e2efresh")));
        writeConfdata(QStringLiteral("e2efresh"));
        // The journal goes too: its newest event line would be the walk's start.
        for (const char *suffix : {"", "-wal", "-shm"})
            QFile::remove(path("work/journal.db") + QLatin1String(suffix));
        startProgram();
        QTRY_COMPARE_WITH_TIMEOUT(query("SELECT message FROM upsevents ORDER BY id", "e2efresh"),
                                  eventsInFile(), 90000);
    }

    void killedWithUnsentRowsSendsThemOnceAfterRestart()
    {
        stopProgram();
        // The program reaches the server through a proxy that can refuse it.
        TcpProxy proxy(server.host(), quint16(server.port()));
        QVERIFY(proxy.isListening());
        QVERIFY(server.createSchema(QStringLiteral("e2ecrash")));
        workDirectory = QStringLiteral("crash");
        QVERIFY(QDir().mkpath(path("crash")));
        writeConfdata(QStringLiteral("e2ecrash"), proxy.port());
        startProgram();
        QTRY_VERIFY_WITH_TIMEOUT(count("upsmeasurements") >= 1, 60000);

        proxy.setRefusing(true);
        QVERIFY(simulator.execute(QStringLiteral("powerfail")));
        const QString journal = path("crash/journal.db");
        QTRY_VERIFY_WITH_TIMEOUT(
                !readJournal(journal,
                             QStringLiteral("SELECT id FROM upsevents WHERE state = 0 "
                                            "AND message LIKE '%Power failure.'"))
                         .isEmpty(),
                60000);
        QTRY_VERIFY_WITH_TIMEOUT(
                !readJournal(journal,
                             QStringLiteral("SELECT id FROM upsmeasurements WHERE state "
                                            "= 0 AND status LIKE 'ONBATT%'"))
                         .isEmpty(),
                60000);
        QVERIFY(simulator.execute(QStringLiteral("powerback")));
        // SIGKILL: nothing of the program runs after it.
        stopProgram();
        const QString waitingAtKill = QStringLiteral(
                "SELECT (SELECT COUNT(*) FROM upsmeasurements WHERE state = 0 AND id <= %1) + "
                "(SELECT COUNT(*) FROM upsevents WHERE state = 0 AND id <= %2)");
        const QString measurementsAtKill =
                readJournal(journal, QStringLiteral("SELECT MAX(id) FROM upsmeasurements"))
                        .value(0);
        const QString eventsAtKill =
                readJournal(journal, QStringLiteral("SELECT MAX(id) FROM upsevents")).value(0);
        QVERIFY(readJournal(journal, waitingAtKill.arg(measurementsAtKill, eventsAtKill))
                        .value(0)
                        .toInt() >= 2);

        proxy.setRefusing(false);
        startProgram();
        QTRY_COMPARE_WITH_TIMEOUT(
                readJournal(journal, waitingAtKill.arg(measurementsAtKill, eventsAtKill)),
                QStringList{QStringLiteral("0")}, 90000);
        QTRY_COMPARE_WITH_TIMEOUT(query("SELECT message FROM upsevents ORDER BY id"),
                                  eventsInFile(), 90000);

        // Every row the program recorded is in the tables once, in order.
        // Rows keep coming meanwhile: what the journal had sent before the
        // table is read is in it, and the table holds nothing the journal
        // had not sent after.
        for (const bool measurements : {true, false}) {
            const QStringList &names = measurements ? ServerConnection::measurementColumns()
                                                    : ServerConnection::eventColumns();
            const QString table =
                    measurements ? QStringLiteral("upsmeasurements") : QStringLiteral("upsevents");
            const QString sent = QStringLiteral("SELECT ") + names.join(QLatin1Char(',')) +
                    QStringLiteral(" FROM ") + table +
                    QStringLiteral(" WHERE state = 1 ORDER BY id");
            const QStringList sentBefore = readJournal(journal, sent);
            const QStringList serverRows = server.query(
                    QStringLiteral("SELECT CONCAT_WS('|', ") + names.join(QLatin1Char(',')) +
                            QStringLiteral(") FROM ") + table + QStringLiteral(" ORDER BY id"),
                    currentSchema);
            const QStringList sentAfter = readJournal(journal, sent);
            QVERIFY(sentBefore.size() > 1);
            QVERIFY(serverRows.size() >= sentBefore.size());
            QCOMPARE(serverRows, sentAfter.mid(0, serverRows.size()));
        }
    }

private:
    QString path(const char *name) const { return dir.filePath(QLatin1String(name)); }
    // A file in the program's working directory.
    QString workPath(const QString &name) const
    {
        return QDir(dir.filePath(workDirectory)).filePath(name);
    }
    static QByteArray bytes(const QString &text) { return QFile::encodeName(text); }

    void writeExecutable(const char *name, const QByteArray &content)
    {
        QVERIFY(writeFileBytes(path(name), content));
        QVERIFY(QFile::setPermissions(path(name),
                                      QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                              QFileDevice::ExeOwner));
    }

    static quint16 freePort()
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost);
        return probe.serverPort();
    }

    void writeConfdata(const QString &schema, int databasePort = 0)
    {
        const QString confdata = workPath(QStringLiteral("confdata"));
        QFile::remove(confdata);
        QVERIFY(writeFileBytes(
                confdata,
                "Voltrine:Configuration\nVersion:1.1\nUPSHOST:127.0.0.1\nUPSPORT:" +
                        QByteArray::number(nisPort) + "\nDBHOST:" + server.host().toLatin1() +
                        "\nDBPORT:" +
                        QByteArray::number(databasePort ? databasePort : server.port()) +
                        "\nDBNAME:" + schema.toLatin1() +
                        "\nDBVDRIVER:5.3\nDBUSER:" + server.user().toLatin1() + "\nDBPASSWD:" +
                        server.password().toLatin1().toHex() + "\nSTARTMINIMISED:false\n"));
        currentSchema = schema;
    }

    void startProgram()
    {
        program = std::make_unique<QProcess>();
        program->setWorkingDirectory(workPath(QString()));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("HOME"), path("home"));
        environment.remove(QStringLiteral("XDG_CONFIG_HOME"));
        program->setProcessEnvironment(environment);
        program->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        program->setStandardOutputFile(QProcess::nullDevice());
        program->start(
                QStringLiteral(VOLTRINE_SANDBOX),
                {path("apcupsd-wrapper"), path("apcupsd.conf"), QStringLiteral(VOLTRINE_BINARY)});
        QVERIFY(program->waitForStarted(30000));
    }

    void stopProgram()
    {
        if (!program)
            return;
        // The program ends only through its tray menu; ending the sandbox ends
        // it and the daemon it started, the daemon a moment after the sandbox.
        // The next daemon needs its port: wait until the old one has let go.
        program->kill();
        program->waitForFinished(30000);
        program.reset();
        QTRY_VERIFY_WITH_TIMEOUT(portIsFree(nisPort), 30000);
        QFile::remove(path("apcupsd.pid"));
    }

    static bool portIsFree(quint16 port)
    {
        QTcpServer probe;
        return probe.listen(QHostAddress::LocalHost, port);
    }

    QByteArray trace() const { return readFileBytes(workPath(QStringLiteral("Trace.log"))); }

    QStringList eventsInFile() const
    {
        QStringList lines =
                QString::fromUtf8(readFileBytes(path("events"))).split(QLatin1Char('\n'));
        lines.removeAll(QString());
        return lines;
    }

    QStringList query(const char *statement, const char *schema = nullptr)
    {
        return server.query(QLatin1String(statement),
                            schema ? QLatin1String(schema) : currentSchema);
    }

    int count(const char *table)
    {
        const QStringList result = server.query(
                QStringLiteral("SELECT COUNT(*) FROM ") + QLatin1String(table), currentSchema);
        return result.isEmpty() ? -1 : result.first().toInt();
    }

    QString hardwareValue(const QString &name) const
    {
        QSettings hardware(path("home/.config/Brindlecast/Hardware.conf"), QSettings::IniFormat);
        return hardware.value(name).toString();
    }

    TestMariaDb server;
    UpsSimulator simulator;
    QTemporaryDir dir;
    quint16 nisPort = 0;
    QString workDirectory = QStringLiteral("work");
    QString currentSchema;
    std::unique_ptr<QProcess> program;
};

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
