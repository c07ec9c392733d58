#include "apctestdialogue.h"

#include "commandrunner.h"
#include "logs.h"

#include <QDeadlineTimer>
#include <QProcess>

namespace {

const auto selfTestEntry = QStringLiteral("2)  Perform self-test");
const auto announcement = QStringLiteral("Waiting for test to complete");
// More than any menu or report; a tool printing without end is not kept.
constexpr int outputByteLimit = 1024 * 1024;

// Everything the tool prints until it stays silent for idleMs (or ends), but
// no longer than waits.toolReadLimitMs and no more than outputByteLimit bytes.
QString readUntilSilent(QProcess &tool, int idleMs, const ControlWaits &waits)
{
    const QDeadlineTimer deadline(waits.toolReadLimitMs);
    QByteArray output;
    while (output.size() < outputByteLimit && !deadline.hasExpired() &&
           tool.waitForReadyRead(int(qMin<qint64>(idleMs, deadline.remainingTime()))))
        output += tool.read(outputByteLimit - output.size());
    return QString::fromUtf8(output);
}

// Ends the tool if it still runs and lets go of it. QProcess::close() would
// wait without limit for a killed tool to end, and one stuck in the kernel
// would hold this thread for good; here the waits are bounded.
void endTool(QProcess &tool, const ControlWaits &waits)
{
    if (tool.state() != QProcess::NotRunning) {
        tool.kill();
        // Still running: the QProcess's destructor waits a bounded time more.
        if (!tool.waitForFinished(waits.toolQuitMs))
            return;
    }
    tool.close();
}

void send(QProcess &tool, const char *command, const ControlWaits &waits)
{
    tool.write(command);
    sleepMs(10);
    tool.waitForBytesWritten(waits.writeMs);
    sleepMs(10);
}

} // namespace

QString selfTestResult(const QString &report)
{
    if (report.contains(QLatin1String("SUCCESS")))
        return QStringLiteral("Selftest Success");
    if (report.contains(QLatin1String("TEST DID NOT COMPLETE")))
        return QStringLiteral("Selftest Did not complete");
    return QStringLiteral("Selftest Exception");
}

QString runApctestDialogue(const QString &toolPath, const ControlWaits &waits, Logs &logs)
{
    logs.trace(QStringLiteral("Selftest Started using ") + toolPath);

    // The whole path is the program, so that a path with blanks still runs.
    // Standard error is left unread.
    QProcess tool;
    tool.start(toolPath, QStringList(), QIODevice::ReadWrite);
    tool.waitForStarted(waits.toolStartMs);
    sleepMs(2);

    QString result;
    const QString menu = readUntilSilent(tool, waits.menuIdleMs, waits);
    if (!menu.isEmpty())
        logs.trace(QStringLiteral("Selftest exec response:\n") + menu);

    if (!menu.contains(selfTestEntry)) {
        result = QStringLiteral("Selftest not available Exit");
    } else {
        logs.trace(QStringLiteral("Selftest available"));
        logs.trace(QStringLiteral("Select 2) Perform self-test"));
        send(tool, "2\n", waits);
        logs.trace(QStringLiteral("Perform self-test cmd Sent"));

        const QString answer = readUntilSilent(tool, waits.answerIdleMs, waits);
        sleepMs(10);
        logs.trace(answer);
        const int announced = answer.indexOf(announcement);
        if (announced < 0) {
            // The tool is ended by closing it below; no quit command.
            logs.trace(QStringLiteral("Selftest Error"));
            result = QStringLiteral("Selftest Error");
        } else {
            logs.trace(announcement);
            const QString report = readUntilSilent(tool, waits.reportIdleMs, waits);
            sleepMs(10);
            logs.trace(report);
            // A UPS that finishes quickly has its report arrive together with
            // the announcement; it counts as well.
            result = selfTestResult(answer.mid(announced + announcement.size()) + report);

            logs.trace(QStringLiteral("Exiting Selftest"));
            tool.write("Q\n");
            logs.trace(QStringLiteral("Selftest Exit cmd Sent"));
            sleepMs(10);
            tool.waitForBytesWritten(waits.writeMs);
            sleepMs(10);
            logs.trace(QStringLiteral("Closing"));
            // Let the tool end by itself: killed, it could leave the port's
            // lock file behind and keep the daemon from the UPS.
            tool.waitForFinished(waits.toolQuitMs);
        }
    }
    endTool(tool, waits);
    return result;
}
