#include "statusrecord.h"

#include <QRegExp>

namespace Nis {

QString trimSpaces(const QString &text)
{
    if (text.size() <= 1)
        return text;
    int begin = 0;
    int end = text.size();
    while (begin < end && text.at(begin) == QLatin1Char(' '))
        ++begin;
    while (end > begin && text.at(end - 1) == QLatin1Char(' '))
        --end;
    if (begin == end)
        return QStringLiteral(" ");
    return text.mid(begin, end - begin);
}

bool isStatusReply(const QString &text)
{
    // In QRegExp's default syntax "." also matches a newline, so ".*" spans
    // every line between the header and the closing line.
    QRegExp pattern(QStringLiteral("^APC *:.*\nEND APC *:[^\n]+\n$"), Qt::CaseSensitive,
                    QRegExp::RegExp);
    return pattern.exactMatch(text);
}

StatusRecord parseStatus(const QString &text)
{
    QString normalized = text;
    normalized.replace(QStringLiteral("\n\r"), QStringLiteral("\n"));

    StatusRecord record;
    const QStringList lines = normalized.split(QLatin1Char('\n'), Qt::KeepEmptyParts);
    for (const QString &line : lines) {
        const int colon = line.indexOf(QLatin1Char(':'));
        if (colon < 0)
            continue;
        record.append({trimSpaces(line.left(colon)), trimSpaces(line.mid(colon + 1))});
    }
    return record;
}

QString lookup(const StatusRecord &record, const QString &key)
{
    for (const auto &entry : record) {
        if (entry.first == key)
            return entry.second;
    }
    return QString();
}

QStringList splitEvents(const QString &text)
{
    if (text.isEmpty())
        return {};
    return text.split(QLatin1Char('\n'), Qt::KeepEmptyParts);
}

} // namespace Nis
