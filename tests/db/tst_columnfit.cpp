#include "columnfit.h"

#include <QTest>

class TestColumnFit final : public QObject
{
    Q_OBJECT

private slots:
    void fit_data();
    void fit();
    void latin1Repertoire_data();
    void latin1Repertoire();
    void fromSchema_data();
    void fromSchema();
};

namespace {
// Source text stays ASCII; characters are written as escapes.
QString fromUtf8(const char *text)
{
    return QString::fromUtf8(text);
}
} // namespace

void TestColumnFit::fit_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<ColumnFit>("fit");
    QTest::addColumn<QString>("expected");

    const ColumnFit status = ColumnFit::latin1(20);
    QTest::newRow("fits unchanged")
            << QStringLiteral("ONLINE") << status << QStringLiteral("ONLINE");
    QTest::newRow("exactly the width") << QStringLiteral("12345678901234567890") << status
                                       << QStringLiteral("12345678901234567890");
    QTest::newRow("status cut to 20") << QStringLiteral("ONLINE TRIM LOWBATT SLAVE") << status
                                      << QStringLiteral("ONLINE TRIM LOWBATT ");
    QTest::newRow("mcid cut to 5")
            << QStringLiteral("1234567") << ColumnFit::latin1(5) << QStringLiteral("12345");
    QTest::newRow("empty stays empty") << QString() << status << QString();
    QTest::newRow("quotes and backslashes untouched")
            << QStringLiteral("a'b\"c\\") << status << QStringLiteral("a'b\"c\\");
    QTest::newRow("latin1 letters kept") << fromUtf8(u8"\u00dcber \u00e9t\u00e9 \u00ff") << status
                                         << fromUtf8(u8"\u00dcber \u00e9t\u00e9 \u00ff");
    QTest::newRow("code page 1252 kept")
            << fromUtf8(u8"\u20ac \u2014 \u201cok\u201d \u2122") << status
            << fromUtf8(u8"\u20ac \u2014 \u201cok\u201d \u2122");
    QTest::newRow("emoji is one question mark")
            << fromUtf8(u8"up \U0001f600 down") << status << QStringLiteral("up ? down");
    QTest::newRow("cyrillic replaced")
            << fromUtf8(u8"\u0416\u0416") << status << QStringLiteral("??");
    QTest::newRow("C1 control without a 1252 byte replaced")
            << QString(QChar(0x80)) + QChar(0x85) << status << QStringLiteral("??");
    QTest::newRow("replacement counted as one character before the cut")
            << fromUtf8(u8"\U0001f600\U0001f600\U0001f600\U0001f600\U0001f600\U0001f600")
            << ColumnFit::latin1(5) << QStringLiteral("?????");
    QTest::newRow("text column 65535")
            << QString(70000, QLatin1Char('x')) << ColumnFit::latin1(65535)
            << QString(65535, QLatin1Char('x'));
    QTest::newRow("no limit") << QString(70000, QLatin1Char('y')) << ColumnFit::latin1(-1)
                              << QString(70000, QLatin1Char('y'));

    const ColumnFit utf8mb4{ColumnFit::CharacterSet::Utf8, 4, 16};
    QTest::newRow("utf8mb4 keeps emoji, cuts whole characters")
            << fromUtf8(u8"\U0001f600\U0001f600\U0001f600\U0001f600\U0001f600") << utf8mb4
            << fromUtf8(u8"\U0001f600\U0001f600\U0001f600\U0001f600");
    const ColumnFit utf8Bytes{ColumnFit::CharacterSet::Utf8, -1, 10};
    QTest::newRow("byte limit never splits a character")
            << fromUtf8(u8"ab\u00e9\U0001f600\U0001f600") << utf8Bytes
            << fromUtf8(u8"ab\u00e9\U0001f600");
    const ColumnFit utf8mb3{ColumnFit::CharacterSet::Utf8Bmp, 10, 30};
    QTest::newRow("utf8mb3 keeps cyrillic, replaces emoji")
            << fromUtf8(u8"\u0416\U0001f600\u0416") << utf8mb3 << fromUtf8(u8"\u0416?\u0416");
}

void TestColumnFit::fit()
{
    QFETCH(QString, value);
    QFETCH(ColumnFit, fit);
    QFETCH(QString, expected);
    QCOMPARE(fitToColumn(value, fit), expected);
}

void TestColumnFit::latin1Repertoire_data()
{
    QTest::addColumn<uint>("codePoint");
    QTest::addColumn<bool>("holds");
    QTest::newRow("NUL") << 0x0u << true;
    QTest::newRow("DEL") << 0x7Fu << true;
    QTest::newRow("U+0080") << 0x80u << false;
    QTest::newRow("U+0081 unassigned byte kept") << 0x81u << true;
    QTest::newRow("U+009F") << 0x9Fu << false;
    QTest::newRow("NBSP") << 0xA0u << true;
    QTest::newRow("y diaeresis") << 0xFFu << true;
    QTest::newRow("euro sign") << 0x20ACu << true;
    QTest::newRow("trade mark") << 0x2122u << true;
    QTest::newRow("L with stroke") << 0x141u << false;
    QTest::newRow("emoji") << 0x1F600u << false;
}

void TestColumnFit::latin1Repertoire()
{
    QFETCH(uint, codePoint);
    QFETCH(bool, holds);
    QCOMPARE(latin1Holds(codePoint), holds);
}

void TestColumnFit::fromSchema_data()
{
    QTest::addColumn<QString>("characterSet");
    QTest::addColumn<qint64>("maxCharacters");
    QTest::addColumn<qint64>("maxBytes");
    QTest::addColumn<int>("expectedSet");
    QTest::addColumn<int>("expectedCharacters");
    QTest::addColumn<int>("expectedBytes");
    QTest::newRow("latin1 varchar") << QStringLiteral("latin1") << qint64(20) << qint64(20)
                                    << int(ColumnFit::CharacterSet::Latin1) << 20 << 20;
    QTest::newRow("utf8mb3") << QStringLiteral("utf8mb3") << qint64(30) << qint64(90)
                             << int(ColumnFit::CharacterSet::Utf8Bmp) << 30 << 90;
    QTest::newRow("utf8mb4 text") << QStringLiteral("UTF8MB4") << qint64(16383) << qint64(65535)
                                  << int(ColumnFit::CharacterSet::Utf8) << 16383 << 65535;
    QTest::newRow("longtext beyond int")
            << QStringLiteral("latin1") << qint64(4294967295LL) << qint64(4294967295LL)
            << int(ColumnFit::CharacterSet::Latin1) << -1 << -1;
}

void TestColumnFit::fromSchema()
{
    QFETCH(QString, characterSet);
    QFETCH(qint64, maxCharacters);
    QFETCH(qint64, maxBytes);
    const ColumnFit fit = ColumnFit::fromSchema(characterSet, maxCharacters, maxBytes);
    QTEST(int(fit.characterSet), "expectedSet");
    QTEST(fit.maxCharacters, "expectedCharacters");
    QTEST(fit.maxBytes, "expectedBytes");
}

Q_DECLARE_METATYPE(ColumnFit)

QTEST_APPLESS_MAIN(TestColumnFit)
#include "tst_columnfit.moc"
