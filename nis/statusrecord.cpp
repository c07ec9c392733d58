#include "statusrecord.h"

#include <QStringRef>

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
    // "APC", blanks and a colon first; then anything; a last line "END APC",
    // blanks, a colon and at least one more character, closed by the newline
    // that ends the text. Read plainly: this runs at every status reply.
    const auto afterBlanksAndColon = [&text](int at) {
        while (at < text.size() && text.at(at) == QLatin1Char(' '))
            ++at;
        return at < text.size() && text.at(at) == QLatin1Char(':') ? at + 1 : -1;
    };
    if (!text.startsWith(QLatin1String("APC")) || !text.endsWith(QLatin1Char('\n')))
        return false;
    const int headerEnd = afterBlanksAndColon(3);
    if (headerEnd < 0 || text.size() < 2)
        return false;
    const int lastBreak = text.lastIndexOf(QLatin1Char('\n'), text.size() - 2);
    if (lastBreak < headerEnd)
        return false;
    const int lastLine = lastBreak + 1;
    if (!QStringRef(&text, lastLine, text.size() - lastLine).startsWith(QLatin1String("END APC")))
        return false;
    const int valueStart = afterBlanksAndColon(lastLine + 7);
    return valueStart >= 0 && valueStart < text.size() - 1;
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
    // The window and the core look up every shown key at every reply: the
    // lengths, compared here, rule out most entries without a call.
    for (const auto &entry : record) {
        if (entry.first.size() == key.size() && entry.first == key)
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
