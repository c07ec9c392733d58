#include "commandrunner.h"

#include <QProcess>
#include <QThread>

namespace {

bool startCommandLine(QProcess &process, const QString &commandLine)
{
    QStringList arguments = QProcess::splitCommand(commandLine);
    if (arguments.isEmpty())
        return false;
    const QString program = arguments.takeFirst();
    process.start(program, arguments, QIODevice::ReadWrite);
    return true;
}

const QLatin1String exeSuffix(".exe");

// A tasklist line begins with the image name; the columns after it (process
// number, session, memory) are cut off after the last ".exe".
QString imageNameOfTasklistLine(const QString &line)
{
    QString name =
            line.left(line.lastIndexOf(exeSuffix, -1, Qt::CaseInsensitive) + exeSuffix.size());
    name.remove(QLatin1Char('\n'));
    name.remove(QLatin1Char('\r'));
    while (name.startsWith(QLatin1Char(' ')))
        name.remove(0, 1);
    while (name.endsWith(QLatin1Char(' ')))
        name.chop(1);
    return name;
}

} // namespace

void runCommand(const QString &commandLine, const CommandWaits &waits)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    if (startCommandLine(process, commandLine)) {
        // Both waits return at once when the command could not be started.
        process.waitForStarted(waits.startMs);
        process.waitForFinished(waits.finishMs);
    }
    sleepMs(waits.settleMs);
    process.close();
    sleepMs(waits.afterCloseMs);
}

QByteArray commandOutput(const QString &commandLine, int waitMs)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    QByteArray output;
    if (startCommandLine(process, commandLine)) {
        process.waitForStarted(waitMs);
        while (process.waitForReadyRead(waitMs))
            output += process.readAll();
        // Whatever arrived together with the end of the process.
        output += process.readAll();
        process.waitForFinished(waitMs);
    }
    process.close();
    return output;
}

QStringList parseProcessList(const QByteArray &output,
                             InstallationProfile::ProcessListFormat format)
{
    QStringList names;
    const QStringList lines = QString::fromUtf8(output).split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        switch (format) {
        case InstallationProfile::ProcessListFormat::Tasklist:
            // Header and separator lines, blank lines and processes whose
            // name has no ".exe" are skipped.
            if (line.contains(exeSuffix, Qt::CaseInsensitive))
                names.append(imageNameOfTasklistLine(line));
            break;
        case InstallationProfile::ProcessListFormat::ImageNames: {
            const QString name = line.trimmed();
            if (!name.isEmpty())
                names.append(name);
            break;
        }
        }
    }
    return names;
}

void sleepMs(int msecs)
{
    if (msecs > 0)
        QThread::msleep(static_cast<unsigned long>(msecs));
}
