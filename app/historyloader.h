#pragma once

#include "historyreader.h"

#include <QMetaType>
#include <QMutex>
#include <QString>
#include <QThread>
#include <QWaitCondition>

#include <optional>

// One read of the journal for the History view.
struct HistoryRequest
{
    quint64 serial = 0;
    // Only the newest buckets, to be merged into those shown.
    bool update = false;
    qint64 fromMs = 0;
    qint64 toMs = 0;
    qint64 bucketMs = 0;
    qint64 holdMs = 0;
};

struct HistoryAnswer
{
    HistoryRequest request;
    HistoryReader::Reduction reduction;
    QList<HistoryReader::PowerMark> marks;
    // Empty when the reads succeeded.
    QString error;
    // How long the reads took.
    qint64 readMs = 0;
};
Q_DECLARE_METATYPE(HistoryAnswer)

// Reads the journal for the History view on a thread of its own, with its
// own read-only connection, so that the window never waits for SQLite.
class HistoryLoader final : public QThread
{
    Q_OBJECT
    Q_DISABLE_COPY(HistoryLoader)

public:
    HistoryLoader(const QString &journalPath, QObject *parent);
    // Ends the thread after the read in progress.
    ~HistoryLoader() override;

    // Reads as asked and answers with answered(). A request not yet begun is
    // replaced by a newer one, except that an update never replaces a whole read.
    void ask(const HistoryRequest &request);

signals:
    void answered(const HistoryAnswer &answer);

protected:
    void run() override;

private:
    QString journalPath;
    QMutex mutex;
    QWaitCondition wake;
    std::optional<HistoryRequest> pending;
    bool ending = false;
};
