#include "columnfit.h"

#include <QVector>

#include <algorithm>
#include <iterator>
#include <limits>

namespace {

// The characters that code page 1252 puts at 0x80-0x9F, as MySQL maps them,
// sorted. MySQL keeps the five unassigned bytes as the C1 controls U+0081,
// U+008D, U+008F, U+0090 and U+009D.
constexpr uint cp1252Extras[] = {
        0x0081, 0x008D, 0x008F, 0x0090, 0x009D, 0x0152, 0x0153, 0x0160, 0x0161, 0x0178, 0x017D,
        0x017E, 0x0192, 0x02C6, 0x02DC, 0x2013, 0x2014, 0x2018, 0x2019, 0x201A, 0x201C, 0x201D,
        0x201E, 0x2020, 0x2021, 0x2022, 0x2026, 0x2030, 0x2039, 0x203A, 0x20AC, 0x2122,
};

int utf8Length(uint codePoint)
{
    if (codePoint < 0x80)
        return 1;
    if (codePoint < 0x800)
        return 2;
    if (codePoint < 0x10000)
        return 3;
    return 4;
}

} // namespace

bool latin1Holds(uint codePoint)
{
    if (codePoint < 0x80 || (codePoint >= 0xA0 && codePoint <= 0xFF))
        return true;
    return std::binary_search(std::begin(cp1252Extras), std::end(cp1252Extras), codePoint);
}

ColumnFit ColumnFit::fromSchema(const QString &characterSetName, qint64 maxCharacters,
                                qint64 maxBytes)
{
    const auto clamp = [](qint64 limit) {
        return limit < 0 || limit > std::numeric_limits<int>::max() ? -1 : int(limit);
    };
    ColumnFit fit;
    const QString name = characterSetName.toLower();
    if (name == QLatin1String("latin1"))
        fit.characterSet = CharacterSet::Latin1;
    else if (name == QLatin1String("utf8mb3") || name == QLatin1String("utf8"))
        fit.characterSet = CharacterSet::Utf8Bmp;
    else
        fit.characterSet = CharacterSet::Utf8;
    fit.maxCharacters = clamp(maxCharacters);
    fit.maxBytes = clamp(maxBytes);
    return fit;
}

QString fitToColumn(const QString &value, const ColumnFit &fit)
{
    QVector<uint> characters = value.toUcs4();
    bool changed = false;
    for (uint &character : characters) {
        const bool holds = fit.characterSet == ColumnFit::CharacterSet::Latin1
                ? latin1Holds(character)
                : fit.characterSet == ColumnFit::CharacterSet::Utf8Bmp ? character < 0x10000
                                                                       : true;
        if (!holds) {
            character = '?';
            changed = true;
        }
    }

    int keep = characters.size();
    if (fit.maxCharacters >= 0 && keep > fit.maxCharacters)
        keep = fit.maxCharacters;
    if (fit.maxBytes >= 0) {
        int bytes = 0;
        for (int i = 0; i < keep; ++i) {
            bytes += fit.characterSet == ColumnFit::CharacterSet::Latin1
                    ? 1
                    : utf8Length(characters.at(i));
            if (bytes > fit.maxBytes) {
                keep = i;
                break;
            }
        }
    }
    if (keep < characters.size()) {
        characters.resize(keep);
        changed = true;
    }
    return changed ? QString::fromUcs4(characters.constData(), characters.size()) : value;
}
