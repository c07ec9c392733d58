#pragma once

#include "journal.h"

#include <QList>
#include <QMutex>
#include <QString>

#include <optional>

// Rows that were handed over but are not in the journal yet, oldest first:
// while another program holds the journal's lock, and while the journal
// cannot take rows at all. In that second case the log writer sends them to
// the server straight from here. Shared by the thread that records rows and
// the writer's thread.
//
// A row the writer has out is never taken for the journal meanwhile, and the
// rows behind it wait for it, so that the journal keeps the order and no row
// is both sent from here and appended to be sent again.
class PendingRows final
{
    Q_DISABLE_COPY(PendingRows)

public:
    // About a day of rows changing every ten seconds.
    static constexpr int defaultLimit = 10000;

    struct Row
    {
        quint64 sequence = 0;
        Journal::Record record;
    };

    explicit PendingRows(int limit = defaultLimit)
        : limit(limit)
    { }

    // False, and nothing kept, when limit rows wait already.
    bool push(const Journal::Record &record);
    bool isEmpty() const;
    int size() const;
    // Rows waiting to be sent: neither sent, nor refused, nor local only.
    qint64 countUnsent() const;
    // The message of the newest event row waiting here; "" when none.
    QString newestEventMessage() const;

    // Recording thread. Whether the writer may send rows from here: only
    // while the journal cannot take them.
    void setSendable(bool sendable);
    // The oldest rows, at most max, up to the first one the writer has out.
    QList<Journal::Record> oldest(int max) const;
    // Forgets the count oldest rows, which the journal has taken.
    void dropOldest(int count);
    // Rows sent from here while they were sendable, since the last call.
    qint64 takeSentCount();

    // Writer's thread. The oldest row waiting to be sent, of the kinds open
    // (measurements, events), if the writer may send from here; it is out
    // until finished() is called for it.
    std::optional<Row> takeForServer(const bool open[2]);
    // The server's answer for a row taken: Sent or Refused, or nothing when
    // it is to be sent again. A row settled while rows are sendable is
    // dropped: it cannot be kept. Otherwise it stays, with its new state, to
    // be appended to the journal as it is.
    void finished(quint64 sequence, std::optional<Journal::State> settled);

private:
    mutable QMutex mutex;
    QList<Row> rows;
    const int limit;
    quint64 lastSequence = 0;
    // The sequence of the row the writer has out; 0: none.
    quint64 out = 0;
    bool sendable = false;
    qint64 sentCount = 0;
};
