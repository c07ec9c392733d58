#include "historyloader.h"

#include <QElapsedTimer>
#include <QMutexLocker>

HistoryLoader::HistoryLoader(const QString &journalPath, QObject *parent)
    : QThread(parent)
    , journalPath(journalPath)
{
    qRegisterMetaType<HistoryAnswer>();
}

HistoryLoader::~HistoryLoader()
{
    {
        QMutexLocker locker(&mutex);
        ending = true;
        wake.wakeAll();
    }
    wait();
}

void HistoryLoader::ask(const HistoryRequest &request)
{
    QMutexLocker locker(&mutex);
    if (request.update && pending && !pending->update)
        return;
    pending = request;
    wake.wakeAll();
}

void HistoryLoader::run()
{
    HistoryReader reader(journalPath,
                         QStringLiteral("history-") + QString::number(quintptr(this), 16));
    for (;;) {
        HistoryRequest request;
        {
            QMutexLocker locker(&mutex);
            while (!pending && !ending)
                wake.wait(&mutex);
            if (ending)
                return;
            request = *pending;
            pending.reset();
        }
        HistoryAnswer answer;
        answer.request = request;
        QElapsedTimer clock;
        clock.start();
        if (reader.open(&answer.error)) {
            answer.reduction = reader.reduce(request.fromMs, request.toMs, request.bucketMs,
                                             request.holdMs, &answer.error);
            if (answer.error.isEmpty())
                answer.marks = reader.powerMarks(answer.reduction.buckets.isEmpty()
                                                         ? request.fromMs
                                                         : answer.reduction.buckets.first().startMs,
                                                 request.toMs, &answer.error);
        }
        answer.readMs = clock.elapsed();
        emit answered(answer);
    }
}
