// nisbench: how long one "status" exchange with a real apcupsd on loopback
// takes, from the request to the parsed record, with and without the quick
// acknowledgement, side by side; and how much CPU the polling thread uses.
//
// It starts its own UPS simulator and apcupsd (a network slave of the
// simulator, everything under a temporary directory, a stub apccontrol).
// Not a test: figures depend on the machine and are only compared with each
// other within one run.

#include "apcupsdfixture.h"
#include "comthrd.h"
#include "logs.h"
#include "nischannel.h"
#include "registry.h"
#include "statusrecord.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <memory>

namespace {

QTextStream out(stdout);

struct Connection
{
    QTcpSocket socket;
    NisChannel channel{&socket};
    QVector<double> millis;
};

// One exchange as the polling loop makes it; returns false when the reply
// was not a whole, valid status.
bool exchange(Connection &connection)
{
    QElapsedTimer timer;
    timer.start();
    connection.channel.sendRequest(QByteArrayLiteral("status"));
    const NisChannel::Reply reply = connection.channel.readReply();
    if (!reply.isComplete() || !Nis::isStatusReply(reply.text))
        return false;
    const StatusRecord record = Nis::parseStatus(reply.text);
    const double elapsed = timer.nsecsElapsed() / 1e6;
    if (record.isEmpty())
        return false;
    connection.millis.append(elapsed);
    return true;
}

double percentile(QVector<double> values, double fraction)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    return values.at(std::min<int>(values.size() - 1, int(fraction * values.size())));
}

QString row(const QString &name, const QVector<double> &millis)
{
    return QStringLiteral("%1 %2 %3 %4 %5")
            .arg(name, -35)
            .arg(percentile(millis, 0.0), 9, 'f', 3)
            .arg(percentile(millis, 0.5), 9, 'f', 3)
            .arg(percentile(millis, 0.9), 9, 'f', 3)
            .arg(millis.size(), 8);
}

#ifdef Q_OS_LINUX
// CPU time of the thread called name in this process, in ms (from the
// scheduler's nanosecond count), or -1.
double threadCpuMs(const QString &name)
{
    const QStringList tasks =
            QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &task : tasks) {
        QFile comm(QStringLiteral("/proc/self/task/%1/comm").arg(task));
        if (!comm.open(QIODevice::ReadOnly) ||
            QString::fromLatin1(comm.readAll()).trimmed() != name)
            continue;
        QFile schedstat(QStringLiteral("/proc/self/task/%1/schedstat").arg(task));
        if (!schedstat.open(QIODevice::ReadOnly))
            return -1;
        return schedstat.readAll().split(' ').value(0).toDouble() / 1e6;
    }
    return -1;
}
#endif

// The simulator as a child process (this program reads with blocking waits,
// so the master must not share its thread). Returns its port, or 0.
quint16 startSimulator(QProcess &simulator)
{
    simulator.start(QStringLiteral(UPSSIM_PROGRAM),
                    {QStringLiteral("--port"), QStringLiteral("0")});
    if (!simulator.waitForStarted(10000))
        return 0;
    QElapsedTimer waited;
    waited.start();
    QByteArray output;
    while (!output.contains('\n') && waited.elapsed() < 10000) {
        simulator.waitForReadyRead(1000);
        output += simulator.readAllStandardOutput();
    }
    const QByteArray line = output.left(output.indexOf('\n'));
    return quint16(line.mid(line.lastIndexOf(':') + 1).toUInt());
}

void stopSimulator(QProcess &simulator)
{
    simulator.write("quit\n");
    if (!simulator.waitForFinished(5000)) {
        simulator.kill();
        simulator.waitForFinished(5000);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // The trace log echoes every record as debug output; only the figures matter here.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "Times status replies of a private apcupsd with and without TCP_QUICKACK, and the CPU "
            "time of the polling thread."));
    parser.addHelpOption();
    const QCommandLineOption samplesOption(
            QStringLiteral("samples"),
            QStringLiteral("Back-to-back exchanges per variant (default 200); a quarter of that "
                           "at the polling loop's pace."),
            QStringLiteral("n"), QStringLiteral("200"));
    const QCommandLineOption cpuOption(
            QStringLiteral("cpu-seconds"),
            QStringLiteral(
                    "How long to run the polling thread for its CPU time (default 60, 0: skip)."),
            QStringLiteral("s"), QStringLiteral("60"));
    parser.addOption(samplesOption);
    parser.addOption(cpuOption);
    parser.process(app);
    const int samples = qMax(4, parser.value(samplesOption).toInt());
    const int cpuSeconds = qMax(0, parser.value(cpuOption).toInt());

    QProcess simulator;
    const quint16 simulatorPort = startSimulator(simulator);
    if (simulatorPort == 0) {
        QTextStream(stderr) << "nisbench: the simulator did not start" << Qt::endl;
        return 1;
    }
    ApcupsdFixture daemon;
    ApcupsdFixture::Options options;
    options.masterPort = simulatorPort;
    QString error;
    if (!daemon.start(options, &error)) {
        QTextStream(stderr) << "nisbench: " << error << Qt::endl;
        stopSimulator(simulator);
        return 1;
    }
    out << "apcupsd (" << ApcupsdFixture::executable() << ") on 127.0.0.1:" << daemon.nisPort()
        << ", slave of the simulator on 127.0.0.1:" << simulatorPort << Qt::endl;

    // Two connections kept open, as the polling loop keeps its own; the
    // exchanges alternate between them so that both see the same machine.
    Connection quick;
    Connection plain;
    plain.channel.setQuickAck(false);
    for (Connection *connection : {&quick, &plain}) {
        if (!NisChannel::connectSocket(connection->socket, QStringLiteral("127.0.0.1"),
                                       daemon.nisPort(), 5000)) {
            QTextStream(stderr) << "nisbench: cannot connect" << Qt::endl;
            return 1;
        }
    }
    // Back to back, a request follows its reply at once; at the polling
    // loop's pace, 550 ms pass between two requests on one connection.
    struct Pace
    {
        const char *name;
        int pauseMs;
        int count;
    };
    const Pace paces[] = {{"back to back", 0, samples}, {"every 550 ms", 550, samples / 4}};
    int failures = 0;
    out << Qt::endl
        << "status request to parsed record (ms)    min    median       p90  samples" << Qt::endl;
    for (const Pace &pace : paces) {
        for (Connection *connection : {&quick, &plain}) {
            exchange(*connection); // the first reply after a change of pace is not kept
            connection->millis.clear();
        }
        for (int i = 0; i < pace.count; ++i) {
            for (Connection *connection : {&quick, &plain}) {
                if (!exchange(*connection))
                    ++failures;
                QThread::msleep(ulong(pace.pauseMs) / 2);
            }
        }
        out << row(QLatin1String(pace.name) + QStringLiteral(", TCP_QUICKACK"), quick.millis)
            << Qt::endl;
        out << row(QLatin1String(pace.name) + QStringLiteral(", without"), plain.millis)
            << Qt::endl;
    }
    if (failures)
        out << failures << " exchanges failed" << Qt::endl;
#ifndef Q_OS_LINUX
    out << "(TCP_QUICKACK exists on Linux only; both rows use the same code here.)" << Qt::endl;
#endif

    if (cpuSeconds == 0) {
        stopSimulator(simulator);
        return 0;
    }
#ifdef Q_OS_LINUX
    QTemporaryDir dir;
    Logs logs(dir.filePath(QStringLiteral("Trace.log")));
    Registry registry(&logs, dir.filePath(QStringLiteral("confdata")));
    registry.setKey(QStringLiteral("upshost"), QStringLiteral("127.0.0.1"));
    registry.setKey(QStringLiteral("upsport"), QString::number(daemon.nisPort()));
    COMThrd client(&registry, &logs);
    QSignalSpy statuses(&client, &COMThrd::StatusDataReady);
    QSignalSpy events(&client, &COMThrd::EventsDataReady);
    client.start();
    QTest::qWait(1000);
    const double before = threadCpuMs(QStringLiteral("COMThrd"));
    const int statusesBefore = statuses.count();
    const int eventsBefore = events.count();
    out << Qt::endl << "polling thread for " << cpuSeconds << " s..." << Qt::endl;
    QTest::qWait(cpuSeconds * 1000);
    const double after = threadCpuMs(QStringLiteral("COMThrd"));
    client.stopAndWait(10000);
    stopSimulator(simulator);
    if (before < 0 || after < 0) {
        out << "polling thread not found in /proc" << Qt::endl;
        return 1;
    }
    out << "CPU time of the polling thread: " << QString::number(after - before, 'f', 1)
        << " ms in " << cpuSeconds << " s ("
        << QString::number((after - before) / (cpuSeconds * 10.0), 'f', 3) << " % of one core), "
        << statuses.count() - statusesBefore << " status replies and "
        << events.count() - eventsBefore << " event lists announced (an unchanged list is not)"
        << Qt::endl;
#else
    out << "CPU time of the polling thread: measured on Linux only" << Qt::endl;
    stopSimulator(simulator);
#endif
    return 0;
}
