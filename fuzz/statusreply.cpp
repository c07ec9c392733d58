// The reply text as the reader hands it over (any bytes, taken as UTF-8) through
// the status validation and parsing, the lookup by key, the blank trimming and
// the event splitting. Properties:
//   - the validation agrees with a plain reading of the reply grammar: "APC",
//     blanks and a colon first; a last line "END APC", blanks, a colon and at
//     least one more character, closed by the newline that ends the text;
//   - every line with a colon gives one entry; the lookup of every parsed key
//     gives back the value of its first entry, and a key that cannot occur
//     gives the empty string;
//   - trimming removes blanks, and only blanks, from both ends, never below one
//     character;
//   - the event lines joined again with newlines are the text;
//   - no input costs more than a fixed multiple of the work on a reply of the
//     same length made of ordinary lines: the work grows linearly.

#include "fuzzsupport.h"
#include "statusrecord.h"

#include <QHash>
#include <QVector>

#include <ctime>
#include <limits>

namespace {

bool startsWithHeader(const QString &text, const QString &word)
{
    if (!text.startsWith(word))
        return false;
    int at = word.size();
    while (at < text.size() && text.at(at) == QLatin1Char(' '))
        ++at;
    return at < text.size() && text.at(at) == QLatin1Char(':');
}

// The reply grammar read plainly, without a regular expression.
bool modelIsStatusReply(const QString &text)
{
    if (!text.endsWith(QLatin1Char('\n')) || !startsWithHeader(text, QStringLiteral("APC")))
        return false;
    const QString body = text.left(text.size() - 1);
    const int lastBreak = body.lastIndexOf(QLatin1Char('\n'));
    if (lastBreak < 0)
        return false;
    // The header's colon must come before the break that opens the last line.
    if (text.indexOf(QLatin1Char(':')) >= lastBreak)
        return false;
    const QString last = body.mid(lastBreak + 1);
    if (!startsWithHeader(last, QStringLiteral("END APC")))
        return false;
    return last.size() > last.indexOf(QLatin1Char(':')) + 1;
}

bool onlyBlanks(const QString &text)
{
    return text.count(QLatin1Char(' ')) == text.size();
}

void checkTrim(const QString &text)
{
    const QString trimmed = Nis::trimSpaces(text);
    const QString detail = QStringLiteral("[%1] gave [%2]").arg(text, trimmed);
    if (text.size() <= 1) {
        Fuzz::require(trimmed == text, "a text of one character or none stays", detail);
        return;
    }
    if (onlyBlanks(text)) {
        Fuzz::require(trimmed == QStringLiteral(" "), "blanks alone become one blank", detail);
        return;
    }
    const int at = text.indexOf(trimmed);
    Fuzz::require(!trimmed.startsWith(QLatin1Char(' ')) && !trimmed.endsWith(QLatin1Char(' ')) &&
                          at >= 0 && onlyBlanks(text.left(at)) &&
                          onlyBlanks(text.mid(at + trimmed.size())),
                  "trimming removes the blanks at both ends, and only those", detail);
}

void checkRecord(const QString &text)
{
    const StatusRecord record = Nis::parseStatus(text);
    QString normalized = text;
    normalized.replace(QStringLiteral("\n\r"), QStringLiteral("\n"));
    const QStringList lines = normalized.split(QLatin1Char('\n'));
    int withColon = 0;
    for (const QString &line : lines)
        withColon += line.contains(QLatin1Char(':')) ? 1 : 0;
    Fuzz::require(
            record.size() == withColon, "every line with a colon gives one entry",
            QStringLiteral("%1 entries, %2 lines with a colon").arg(record.size()).arg(withColon));

    QHash<QString, QString> firstValues;
    for (const auto &entry : record) {
        Fuzz::require(!entry.first.contains(QLatin1Char(':')) &&
                              !entry.first.contains(QLatin1Char('\n')) &&
                              !entry.second.contains(QLatin1Char('\n')),
                      "a key holds no colon and no line break, a value no line break",
                      entry.first + QLatin1Char('|') + entry.second);
        Fuzz::require(Nis::trimSpaces(entry.first) == entry.first &&
                              Nis::trimSpaces(entry.second) == entry.second,
                      "keys and values come trimmed",
                      entry.first + QLatin1Char('|') + entry.second);
        if (!firstValues.contains(entry.first))
            firstValues.insert(entry.first, entry.second);
    }
    for (auto it = firstValues.cbegin(); it != firstValues.cend(); ++it)
        Fuzz::require(Nis::lookup(record, it.key()) == it.value(),
                      "the lookup of a parsed key gives the value of its first entry", it.key());
    Fuzz::require(Nis::lookup(record, QStringLiteral("A\nB")).isNull(),
                  "a key that cannot be parsed is not found");
}

void checkEvents(const QString &text)
{
    const QStringList lines = Nis::splitEvents(text);
    if (text.isEmpty()) {
        Fuzz::require(lines.isEmpty(), "an empty events reply gives no lines");
        return;
    }
    Fuzz::require(lines.size() == text.count(QLatin1Char('\n')) + 1 &&
                          lines.join(QLatin1Char('\n')) == text,
                  "the event lines are the text split at every newline");
}

// The work whose cost must grow linearly with the length of the reply.
void work(const QString &text)
{
    volatile bool valid = Nis::isStatusReply(text);
    const StatusRecord record = Nis::parseStatus(text);
    volatile int absent = Nis::lookup(record, QStringLiteral("\n")).size();
    volatile int events = Nis::splitEvents(text).size();
    volatile int trimmed = Nis::trimSpaces(text).size();
    (void)valid;
    (void)absent;
    (void)events;
    (void)trimmed;
}

// CPU time of this thread: another process taking the processor does not count.
qint64 threadNanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

qint64 costOf(const QString &text, int runs)
{
    qint64 least = std::numeric_limits<qint64>::max();
    for (int i = 0; i < runs; ++i) {
        const qint64 start = threadNanoseconds();
        work(text);
        least = qMin(least, threadNanoseconds() - start);
    }
    return least;
}

// Ordinary replies of a given length: the daemon's status lines, many short
// entries, many empty lines. The dearest of them is the yardstick.
QVector<QString> ordinaryReplies(int length)
{
    const QString pieces[] = {
            QStringLiteral("APC      : 001,036,0876\nDATE     : 2026-12-07 05:02:46 +0000  \n"
                           "STATUS   : ONLINE SLAVE \nBCHARGE  : 100.0 Percent\n"),
            QStringLiteral("K:V\n"),
            QStringLiteral("\n"),
    };
    QVector<QString> replies;
    for (const QString &piece : pieces)
        replies.append(piece.repeated(length / piece.size() + 1).left(length));
    return replies;
}

// The yardstick grows linearly by construction: it is the cost of one ordinary
// reply of unitLength characters, taken once per started unitLength of input.
// Work that grows with the square of the length shows against it once an input
// is many units long, so every few inputs are also checked repeated up to
// amplifiedLength. Linear work of any shape stays within a few times the
// yardstick; the factor leaves room for a busy machine.
constexpr int unitLength = 1024;
constexpr int amplifiedLength = 64 * unitLength;
constexpr qint64 costFactor = 16;

qint64 unitCost(int runs)
{
    qint64 dearest = 1;
    for (const QString &reply : ordinaryReplies(unitLength))
        dearest = qMax(dearest, costOf(reply, runs));
    return dearest;
}

qint64 budget(int length, qint64 perUnit)
{
    return costFactor * perUnit * qMax(1, (length + unitLength - 1) / unitLength);
}

// Taken once at the start; an input that costs more than this allows is
// measured properly before it counts.
qint64 startUnitCost = 0;

void checkCost(const QString &text)
{
    const qint64 cost = costOf(text, 1);
    if (cost <= budget(text.size(), startUnitCost))
        return;
    // A busy machine slows every run: the yardstick is measured again now, and
    // the input counts with the least of a few runs.
    const qint64 perUnit = unitCost(5);
    const qint64 allowed = budget(text.size(), perUnit);
    qint64 least = cost;
    for (int run = 0; run < 3 && least > allowed; ++run)
        least = qMin(least, costOf(text, 1));
    Fuzz::require(least <= allowed, "the work grows linearly with the length of the reply",
                  QStringLiteral("%1 characters cost %2 ns; %3 ns for each %4 ordinary ones")
                          .arg(text.size())
                          .arg(least)
                          .arg(perUnit)
                          .arg(unitLength));
}

void checkLinear(const QString &text)
{
    checkCost(text);
    if (!text.isEmpty() && qHash(text) % 8 == 0)
        checkCost(text.repeated(amplifiedLength / text.size() + 1));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Fuzz::makeApplication();
    startUnitCost = unitCost(20);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));
    Fuzz::require(Nis::isStatusReply(text) == modelIsStatusReply(text),
                  "the validation follows the reply grammar", text.left(400));
    checkRecord(text);
    checkTrim(text);
    for (const QString &line : text.split(QLatin1Char('\n')))
        checkTrim(line);
    checkEvents(text);
    checkLinear(text);
    return 0;
}
