#include "logs.h"

#include <QDebug>
#include <QFileInfo>
#include <QMutexLocker>
#include <QTextStream>

#include <atomic>
#include <exception>

namespace {
const auto timestampPattern = QStringLiteral("yyyy-MM-dd hh:mm:ss");
}

Logs *Logs::instance()
{
    static std::atomic<Logs *> theInstance{nullptr};
    static QMutex creationMutex;
    Logs *logs = theInstance.load(std::memory_order_acquire);
    if (!logs) {
        QMutexLocker locker(&creationMutex);
        logs = theInstance.load(std::memory_order_relaxed);
        if (!logs) {
            logs = new Logs;
            theInstance.store(logs, std::memory_order_release);
        }
    }
    return logs;
}

Logs::Logs(const QString &fileName, Clock clockFunction)
    : QThread(nullptr)
    , clock(clockFunction ? std::move(clockFunction) : Clock(&QDateTime::currentDateTime))
{
    try {
        logfile.setFileName(QFileInfo(fileName).absoluteFilePath());
        qDebug().noquote() << QStringLiteral("Starting Logs ") + logfile.fileName();

        bool opened;
        if (logfile.exists()) {
            opened = logfile.open(QIODevice::ReadWrite | QIODevice::Append | QIODevice::Text);
        } else {
            qDebug().noquote() << QStringLiteral("File not exist, new file creating");
            opened = openNew();
        }
        if (opened) {
            writeBanner();
            logfile.close();
        }
    } catch (const std::exception &e) {
        qDebug().noquote() << QStringLiteral("Logs Error: ") + QString::fromLocal8Bit(e.what());
    }
}

Logs::~Logs() = default;

QString Logs::filePath() const
{
    return logfile.fileName();
}

bool Logs::openNew()
{
    if (!logfile.open(QIODevice::ReadWrite | QIODevice::Text))
        return false;
    // The trace tells what the program did with the database and the UPS.
    logfile.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return true;
}

void Logs::writeBanner()
{
    const QString banner =
            QStringLiteral("Voltrine Version 1.1 Log session started ") + timestamp();
    {
        QTextStream stream(&logfile);
        stream << "\n\n" << banner;
    }
    qDebug().noquote() << banner;
}

void Logs::setSizeLimit(qint64 bytes)
{
    QMutexLocker locker(&appendMutex);
    sizeLimit = bytes;
}

void Logs::startNextFile()
{
    const QString previous = logfile.fileName() + QStringLiteral(".1");
    QFile::remove(previous);
    // Where it cannot be renamed (held open elsewhere), the next record tries again.
    if (!QFile::rename(logfile.fileName(), previous) || !openNew())
        return;
    writeBanner();
    logfile.close();
}

QString Logs::timestamp() const
{
    return clock().toString(timestampPattern);
}

void Logs::trace(const QString &message)
{
    const QString stamped = QLatin1Char('[') + timestamp() + QStringLiteral("]: ") + message;
    const QString record = QStringLiteral("Log:") + stamped;
    qDebug().noquote() << record;
    append(record);
    emit LogDbProxy(stamped);
}

void Logs::append(const QString &record)
{
    QMutexLocker locker(&appendMutex);
    try {
        // Opened and closed per record so that each one survives a crash of the process.
        if (!logfile.open(QIODevice::ReadWrite | QIODevice::Append | QIODevice::Text))
            return;
        {
            QTextStream stream(&logfile);
            stream << '\n' << record;
        }
        logfile.flush();
        const bool full = logfile.size() > sizeLimit;
        logfile.close();
        if (full)
            startNextFile();
    } catch (const std::exception &e) {
        if (logfile.isOpen())
            logfile.close();
        qDebug().noquote() << QStringLiteral("Can not Write into Log file:") +
                        QString::fromLocal8Bit(e.what());
    }
}
