#include "pendingrows.h"

#include <QMutexLocker>

bool PendingRows::push(const Journal::Record &record)
{
    QMutexLocker locker(&mutex);
    if (rows.size() >= limit)
        return false;
    rows.append({++lastSequence, record});
    return true;
}

bool PendingRows::isEmpty() const
{
    QMutexLocker locker(&mutex);
    return rows.isEmpty();
}

int PendingRows::size() const
{
    QMutexLocker locker(&mutex);
    return rows.size();
}

qint64 PendingRows::countUnsent() const
{
    QMutexLocker locker(&mutex);
    return std::count_if(rows.cbegin(), rows.cend(),
                         [](const Row &row) { return row.record.state == Journal::State::Unsent; });
}

QString PendingRows::newestEventMessage() const
{
    QMutexLocker locker(&mutex);
    for (auto row = rows.crbegin(); row != rows.crend(); ++row) {
        if (row->record.kind == Journal::Kind::Event)
            return row->record.values.value(1);
    }
    return QString();
}

void PendingRows::setSendable(bool value)
{
    QMutexLocker locker(&mutex);
    sendable = value;
}

QList<Journal::Record> PendingRows::oldest(int max) const
{
    QMutexLocker locker(&mutex);
    QList<Journal::Record> records;
    for (const Row &row : rows) {
        if (records.size() >= max || row.sequence == out)
            break;
        records.append(row.record);
    }
    return records;
}

void PendingRows::dropOldest(int count)
{
    QMutexLocker locker(&mutex);
    rows.erase(rows.begin(), rows.begin() + qMin(count, rows.size()));
}

qint64 PendingRows::takeSentCount()
{
    QMutexLocker locker(&mutex);
    return std::exchange(sentCount, 0);
}

std::optional<PendingRows::Row> PendingRows::takeForServer(const bool open[2])
{
    QMutexLocker locker(&mutex);
    if (!sendable || out != 0)
        return std::nullopt;
    for (const Row &row : rows) {
        if (row.record.state == Journal::State::Unsent &&
            open[row.record.kind == Journal::Kind::Measurement ? 0 : 1]) {
            out = row.sequence;
            return row;
        }
    }
    return std::nullopt;
}

void PendingRows::finished(quint64 sequence, std::optional<Journal::State> settled)
{
    QMutexLocker locker(&mutex);
    if (out == sequence)
        out = 0;
    if (!settled)
        return;
    for (auto row = rows.begin(); row != rows.end(); ++row) {
        if (row->sequence != sequence)
            continue;
        if (sendable) {
            if (*settled == Journal::State::Sent)
                ++sentCount;
            rows.erase(row);
        } else {
            row->record.state = *settled;
        }
        return;
    }
}
