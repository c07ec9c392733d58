#pragma once

#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

// The parsed "status" reply of apcupsd: its KEY : value lines in reply order.
// Keys are not made unique; a key that occurs twice gives two entries and the
// lookup finds the first.
using StatusRecord = QVector<QPair<QString, QString>>;

namespace Nis {

// Removes U+0020 spaces (and only those) from both ends, but never shortens the
// text below one character: "   " becomes " ", "" and "x" stay as they are.
QString trimSpaces(const QString &text);

// True when text is a whole status reply: it begins with "APC", spaces and a
// colon, and its last line is "END APC", spaces, a colon and at least one more
// character, closed by the newline that ends the text.
bool isStatusReply(const QString &text);

// Turns a status reply into its entries: every line with a colon gives the key
// before the first colon and the value after it, both through trimSpaces().
StatusRecord parseStatus(const QString &text);

// The value of the first entry whose key equals key exactly (case-sensitive);
// the empty string when there is none.
QString lookup(const StatusRecord &record, const QString &key);

// The lines of an "events" reply, split at every newline with empty pieces kept,
// so a reply ending in a newline gives a last element that is empty. An empty
// reply gives an empty list.
QStringList splitEvents(const QString &text);

} // namespace Nis
