#pragma once

#include "logs.h"

#include <QMutex>
#include <QMutexLocker>
#include <QObject>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// A trace log on a temporary file whose messages are also kept in memory,
// without their time stamps, in the order they were traced (from any thread).
class TraceRecorder
{
public:
    TraceRecorder()
        : logs(std::make_unique<Logs>(dir.filePath(QStringLiteral("Trace.log"))))
    {
        QObject::connect(
                logs.get(), &Logs::LogDbProxy, logs.get(),
                [this](const QString &stamped) {
                    // "[yyyy-MM-dd hh:mm:ss]: " comes first.
                    const int start = stamped.indexOf(QStringLiteral("]: "));
                    QMutexLocker locker(&mutex);
                    recorded.append(stamped.mid(start + 3));
                },
                Qt::DirectConnection);
    }

    Logs *log() const { return logs.get(); }

    QStringList messages() const
    {
        QMutexLocker locker(&mutex);
        return recorded;
    }
    void clear()
    {
        QMutexLocker locker(&mutex);
        recorded.clear();
    }

private:
    QTemporaryDir dir;
    std::unique_ptr<Logs> logs;
    mutable QMutex mutex;
    QStringList recorded;
};
