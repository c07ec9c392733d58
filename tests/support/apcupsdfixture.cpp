#include "apcupsdfixture.h"

#include "nischannel.h"
#include "statusrecord.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTextStream>

namespace {

bool writeFile(const QString &path, const QString &text, QFileDevice::Permissions permissions = {})
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    file.write(text.toUtf8());
    if (permissions)
        file.setPermissions(permissions);
    return file.error() == QFileDevice::NoError;
}

// One "status" request on a fresh connection; true when a whole reply came.
bool answersStatus(quint16 port)
{
    QTcpSocket socket;
    if (!NisChannel::connectSocket(socket, QStringLiteral("127.0.0.1"), port, 1000))
        return false;
    NisChannel channel(&socket);
    channel.sendRequest(QByteArrayLiteral("status"));
    const NisChannel::Reply reply = channel.readReply();
    return reply.isComplete() && Nis::isStatusReply(reply.text);
}

} // namespace

quint16 freeLoopbackPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

ApcupsdFixture::ApcupsdFixture() = default;

ApcupsdFixture::~ApcupsdFixture()
{
    stop();
}

QString ApcupsdFixture::executable()
{
    QString path = QStandardPaths::findExecutable(QStringLiteral("apcupsd"));
    if (path.isEmpty())
        path = QStandardPaths::findExecutable(
                QStringLiteral("apcupsd"), {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
    return path;
}

QStringList ApcupsdFixture::apccontrolCalls() const
{
    QFile file(dir.filePath(QStringLiteral("apccontrol.calls")));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

bool ApcupsdFixture::start(const Options &options, QString *error)
{
    auto fail = [this, error](const QString &reason) {
        if (error)
            *error = reason + QStringLiteral("\n") + QString::fromLocal8Bit(daemon.readAll());
        stop();
        return false;
    };
    const QString program = executable();
    if (program.isEmpty())
        return fail(QStringLiteral("apcupsd is not installed"));
    if (!dir.isValid())
        return fail(QStringLiteral("no temporary directory"));

    // The stub that stands where the daemon looks for apccontrol.
    const QString calls = dir.filePath(QStringLiteral("apccontrol.calls"));
    if (!writeFile(dir.filePath(QStringLiteral("apccontrol")),
                   QStringLiteral("#!/bin/sh\necho \"$*\" >> '") + calls +
                           QStringLiteral("'\nexit 0\n"),
                   QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner))
        return fail(QStringLiteral("cannot write the apccontrol stub"));

    const QString eventsFile = options.withoutEventsFile
            ? dir.filePath(QStringLiteral("missing-directory/events"))
            : dir.filePath(QStringLiteral("events"));
    if (!options.eventLines.isEmpty() &&
        !writeFile(eventsFile, options.eventLines.join(QLatin1Char('\n')) + QLatin1Char('\n')))
        return fail(QStringLiteral("cannot write the events file"));

    port = freeLoopbackPort();
    QString conf;
    QTextStream out(&conf);
    // Without this first line the daemon warns of an old configuration file.
    out << "## apcupsd.conf v1.1 ##\n";
    out << "UPSCABLE ether\n";
    out << "UPSTYPE net\n";
    out << "DEVICE 127.0.0.1:" << options.masterPort << "\n";
    out << "POLLTIME 1\n";
    out << "NETSERVER on\nNISIP 127.0.0.1\nNISPORT " << port << "\n";
    out << "EVENTSFILE " << eventsFile << "\n";
    out << "STATFILE " << dir.filePath(QStringLiteral("status")) << "\n";
    out << "SCRIPTDIR " << dir.path() << "\n";
    out << "PWRFAILDIR " << dir.path() << "\n";
    out << "NOLOGINDIR " << dir.path() << "\n";
    out << "LOCKFILE " << dir.path() << "\n";
    out.flush();
    const QString confPath = dir.filePath(QStringLiteral("apcupsd.conf"));
    if (!writeFile(confPath, conf))
        return fail(QStringLiteral("cannot write apcupsd.conf"));

    daemon.setProcessChannelMode(QProcess::MergedChannels);
    daemon.start(program,
                 {QStringLiteral("-b"), QStringLiteral("-f"), confPath, QStringLiteral("-P"),
                  dir.filePath(QStringLiteral("apcupsd.pid"))});
    if (!daemon.waitForStarted(10000))
        return fail(QStringLiteral("apcupsd did not start: ") + daemon.errorString());

    // The event loop keeps turning meanwhile: an in-process master must answer.
    const QDeadlineTimer deadline(30000);
    while (!answersStatus(port)) {
        if (daemon.state() != QProcess::Running)
            return fail(QStringLiteral("apcupsd ended at start"));
        if (deadline.hasExpired())
            return fail(QStringLiteral("apcupsd did not answer on port ") + QString::number(port));
        QTest::qWait(100);
    }
    return true;
}

void ApcupsdFixture::stop()
{
    if (daemon.state() == QProcess::NotRunning)
        return;
    daemon.terminate();
    if (!daemon.waitForFinished(10000)) {
        daemon.kill();
        daemon.waitForFinished(5000);
    }
}
