#pragma once

#include <QString>
#include <QVector>

// What one text column can hold. MariaDB and MySQL in their default strict
// mode refuse a whole row when one value is longer than its column or holds a
// character that the column's character set cannot store; the older servers
// this program was first written for cut and replaced instead. Fitting each
// value before it is bound keeps that behaviour, so no row is lost.
struct ColumnFit
{
    enum class CharacterSet {
        Latin1,  // MySQL's latin1, which is Windows code page 1252
        Utf8Bmp, // utf8mb3: no characters beyond U+FFFF
        Utf8,    // utf8mb4 and anything else: every character
    };

    CharacterSet characterSet = CharacterSet::Latin1;
    int maxCharacters = -1; // -1: no limit
    int maxBytes = -1;      // -1: no limit

    // From the server's description of a column (information_schema.COLUMNS).
    static ColumnFit fromSchema(const QString &characterSetName, qint64 maxCharacters,
                                qint64 maxBytes);
    static ColumnFit latin1(int maxCharacters) { return {CharacterSet::Latin1, maxCharacters, -1}; }
};
using ColumnFits = QVector<ColumnFit>;

// True when MySQL's latin1 can store the character.
bool latin1Holds(uint codePoint);

// The value as the column can store it: every character the column's
// character set cannot hold becomes "?", then the value is cut to the
// column's width in characters and in bytes. A value that fits is returned
// unchanged.
QString fitToColumn(const QString &value, const ColumnFit &fit);
