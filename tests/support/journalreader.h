#pragma once

#include "journal.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStringList>

// The rows a statement gives on a journal, read the way its other readers
// read it (read-only, a connection of their own), each row's columns joined
// by "|". Nothing when the journal does not exist or the statement fails.
inline QStringList readJournal(const QString &path, const QString &statement)
{
    static int readers = 0;
    const QString name = QStringLiteral("journal-reader-") + QString::number(++readers);
    QStringList rows;
    {
        QSqlDatabase db = Journal::openReadOnly(path, name);
        if (db.isOpen()) {
            QSqlQuery query(db);
            if (query.exec(statement)) {
                while (query.next()) {
                    QStringList columns;
                    for (int i = 0; i < query.record().count(); ++i)
                        columns.append(query.value(i).toString());
                    rows.append(columns.join(QLatin1Char('|')));
                }
            }
        }
    }
    QSqlDatabase::removeDatabase(name);
    return rows;
}

// Rows of both kinds waiting to be sent; -1 when the journal cannot be read.
inline qint64 unsentJournalRows(const QString &path)
{
    const QStringList waiting =
            readJournal(path,
                        QStringLiteral("SELECT (SELECT COUNT(*) FROM upsmeasurements WHERE "
                                       "state = 0) + (SELECT COUNT(*) FROM upsevents WHERE "
                                       "state = 0)"));
    return waiting.isEmpty() ? -1 : waiting.first().toLongLong();
}
