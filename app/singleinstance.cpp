#include "singleinstance.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>
#include <QRegularExpression>
#include <QSysInfo>
#include <QTextStream>
#include <QThread>

namespace {

const auto lockFileName = QStringLiteral("voltrine.lock");
const QByteArray showRequest = QByteArrayLiteral("show\n");
// Longer than any request; a peer that sends more is not one of ours.
constexpr qint64 longestRequest = 64;

constexpr int startingPatienceMs = 5000;
constexpr int retryPauseMs = 100;
// A running program answers at once; a socket file left behind refuses at once.
constexpr int probePatienceMs = 250;
constexpr int writePatienceMs = 3000;

QString userName()
{
    QString user = qEnvironmentVariable("USER");
    if (user.isEmpty())
        user = qEnvironmentVariable("USERNAME"); // Windows
    if (user.isEmpty())
        user = QDir::home().dirName();
    // Also a valid part of a socket path and of a pipe name.
    return user.left(32).replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9._-]")),
                                 QStringLiteral("_"));
}

} // namespace

SingleInstance::SingleInstance(const QString &dataFolder, QObject *parent)
    : QObject(parent)
    , lockPath(QDir(dataFolder).filePath(lockFileName))
    , name(serverName(dataFolder))
    , lock(lockPath)
{
    connect(&server, &QLocalServer::newConnection, this, &SingleInstance::accept);
}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::serverName(const QString &dataFolder)
{
    QString path = QFileInfo(dataFolder).canonicalFilePath();
    if (path.isEmpty())
        path = QDir::cleanPath(QDir(dataFolder).absolutePath());
#ifdef Q_OS_WIN
    // Its file names do not tell case.
    path = path.toLower();
#endif
    const QByteArray digest =
            QCryptographicHash::hash(path.toUtf8(), QCryptographicHash::Sha1).toHex().left(16);
    return QStringLiteral("voltrine-") + userName() + QLatin1Char('-') +
            QString::fromLatin1(digest);
}

SingleInstance::Outcome SingleInstance::claim()
{
    QTextStream err(stderr);
    // Only a lock whose owner has ended is stale: the age of a lock file says
    // nothing about a program that runs for weeks.
    lock.setStaleLockTime(0);
    // An owner may still be on its way to listening, or be ending.
    const QDeadlineTimer deadline(startingPatienceMs);
    bool locked;
    forever {
        locked = lock.tryLock(0);
        // A lock naming this process was left by a program that had its number
        // in a PID namespace of its own (a sandbox started again after a kill);
        // here no other process has it. Removing fails while an owner, ending
        // or elsewhere, still holds the file.
        if (!locked && lock.error() == QLockFile::LockFailedError && lockNamesThisProcess() &&
            lock.removeStaleLockFile())
            locked = lock.tryLock(0);
        if (locked || lock.error() != QLockFile::LockFailedError)
            break;
        const Outcome outcome = askRunning(probePatienceMs);
        if (outcome != Outcome::Runs)
            return outcome;
        if (deadline.hasExpired())
            return Outcome::OtherSilent;
        QThread::msleep(retryPauseMs);
    }
    if (!locked) {
        err << "Voltrine: cannot make " << QDir::toNativeSeparators(lockPath)
            << (lock.error() == QLockFile::PermissionError ? " (no permission)" : "")
            << "; only its local server keeps a second program off this folder" << Qt::endl;
    }
    // The lock does not see everything: a program in another PID namespace
    // looks ended, and a lock file may have been removed by hand.
    const Outcome outcome = askRunning(probePatienceMs);
    if (outcome != Outcome::Runs) {
        lock.unlock();
        return outcome;
    }
    // Nobody answered: a socket file left by a killed program would keep the
    // name taken.
    QLocalServer::removeServer(name);
    server.setSocketOptions(QLocalServer::UserAccessOption);
    if (!server.listen(name)) {
        // Watching the UPS matters more than showing the window to a later start.
        err << "Voltrine: a later start cannot reach this one (" << name
            << "): " << server.errorString() << Qt::endl;
    }
    return Outcome::Runs;
}

bool SingleInstance::lockNamesThisProcess() const
{
    qint64 pid = 0;
    QString host;
#ifdef Q_OS_WIN
    // QLockFile writes the NetBIOS name there, which is not the host name.
    const QString thisHost = qEnvironmentVariable("COMPUTERNAME");
#else
    const QString thisHost = QSysInfo::machineHostName();
#endif
    return lock.getLockInfo(&pid, &host, nullptr) && pid == QCoreApplication::applicationPid() &&
            (host.isEmpty() || host.compare(thisHost, Qt::CaseInsensitive) == 0);
}

SingleInstance::Outcome SingleInstance::askRunning(int patienceMs)
{
    QLocalSocket socket;
    socket.connectToServer(name);
    if (!socket.waitForConnected(patienceMs))
        return Outcome::Runs;
    socket.write(showRequest);
    const QDeadlineTimer writing(writePatienceMs);
    bool written = true;
    while (written && socket.bytesToWrite() > 0)
        written = socket.waitForBytesWritten(int(writing.remainingTime()));
    if (!written) {
        QTextStream(stderr) << "Voltrine: the running program did not take the request ("
                            << socket.errorString() << ')' << Qt::endl;
    }
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState)
        socket.waitForDisconnected(writePatienceMs);
    return written ? Outcome::OtherShown : Outcome::OtherSilent;
}

void SingleInstance::accept()
{
    while (QLocalSocket *socket = server.nextPendingConnection()) {
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readRequests(socket); });
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        readRequests(socket);
    }
}

void SingleInstance::readRequests(QLocalSocket *socket)
{
    while (socket->canReadLine()) {
        if (socket->readLine(longestRequest + 1) == showRequest)
            emit activationRequested();
    }
    if (socket->bytesAvailable() > longestRequest)
        socket->abort();
}
