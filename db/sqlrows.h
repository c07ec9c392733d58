#pragma once

#include <QList>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariantList>

// Every column of every row that an executed SELECT still has to give.
inline QList<QVariantList> takeRows(QSqlQuery &query)
{
    QList<QVariantList> rows;
    const int columnCount = query.record().count();
    while (query.next()) {
        QVariantList row;
        for (int i = 0; i < columnCount; ++i)
            row.append(query.value(i));
        rows.append(row);
    }
    return rows;
}
