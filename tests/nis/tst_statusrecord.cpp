// The parsing of apcupsd's replies: the space rule, the status validation,
// status entries and their lookup, and the event list.

#include "statusrecord.h"

#include <QtTest>

using Entries = QVector<QPair<QString, QString>>;
Q_DECLARE_METATYPE(Entries)

class TestStatusRecord : public QObject
{
    Q_OBJECT

private slots:
    void trimSpaces_data();
    void trimSpaces();
    void validation_data();
    void validation();
    void entries_data();
    void entries();
    void lookup_data();
    void lookup();
    void events_data();
    void events();
};

void TestStatusRecord::trimSpaces_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("expected");
    QTest::newRow("empty") << QString() << QString();
    QTest::newRow("one space stays") << QStringLiteral(" ") << QStringLiteral(" ");
    QTest::newRow("one letter") << QStringLiteral("x") << QStringLiteral("x");
    QTest::newRow("only spaces become one") << QStringLiteral("    ") << QStringLiteral(" ");
    QTest::newRow("both ends") << QStringLiteral("  ONLINE SLAVE ")
                               << QStringLiteral("ONLINE SLAVE");
    QTest::newRow("inner spaces kept") << QStringLiteral("a  b") << QStringLiteral("a  b");
    QTest::newRow("tab kept") << QStringLiteral("\tx ") << QStringLiteral("\tx");
    QTest::newRow("carriage return kept") << QStringLiteral(" x\r") << QStringLiteral("x\r");
    QTest::newRow("no-break space kept")
            << (QStringLiteral(" x") + QChar(0xa0)) << (QStringLiteral("x") + QChar(0xa0));
}

void TestStatusRecord::trimSpaces()
{
    QFETCH(QString, input);
    QFETCH(QString, expected);
    QCOMPARE(Nis::trimSpaces(input), expected);
}

void TestStatusRecord::validation_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    const QString head =
            QStringLiteral("APC      : 001,036,0870\nDATE     : 2016-02-29 10:00:00 +0100  \n");
    const QString end = QStringLiteral("END APC  : 2016-02-29 10:00:00 +0100\n");
    QTest::newRow("whole reply") << head + end << true;
    QTest::newRow("without END APC") << head << false;
    QTest::newRow("nothing after the END APC colon")
            << head + QStringLiteral("END APC  :\n") << false;
    QTest::newRow("END APC without its newline") << head + end.chopped(1) << false;
    QTest::newRow("text after END APC") << head + end + QStringLiteral("x\n") << false;
    QTest::newRow("no spaces before the colons") << QStringLiteral("APC:1\nEND APC:x\n") << true;
    QTest::newRow("header in small letters") << QStringLiteral("apc : 1\n") + end << false;
    QTest::newRow("blank before APC") << QStringLiteral(" APC : 1\n") + end << false;
    QTest::newRow("empty") << QString() << false;
    QTest::newRow("Not available") << QStringLiteral("Not available\n") << false;
}

void TestStatusRecord::validation()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QCOMPARE(Nis::isStatusReply(text), valid);
}

void TestStatusRecord::entries_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<Entries>("expected");
    QTest::newRow("date with later colons and trailing blanks")
            << QStringLiteral("DATE     : 2016-02-29 10:00:00 +0100  \n")
            << Entries{{QStringLiteral("DATE"), QStringLiteral("2016-02-29 10:00:00 +0100")}};
    QTest::newRow("units stay") << QStringLiteral("TONBATT  : 0 Seconds\n")
                                << Entries{{QStringLiteral("TONBATT"),
                                            QStringLiteral("0 Seconds")}};
    QTest::newRow("nothing after the colon")
            << QStringLiteral("SELFTEST :") << Entries{{QStringLiteral("SELFTEST"), QString()}};
    QTest::newRow("only blanks after the colon")
            << QStringLiteral("SHARE    :   \n")
            << Entries{{QStringLiteral("SHARE"), QStringLiteral(" ")}};
    QTest::newRow("lines without colon and empty lines skipped")
            << QStringLiteral("garbage\n\nA : 1\n")
            << Entries{{QStringLiteral("A"), QStringLiteral("1")}};
    QTest::newRow("duplicate keys both kept")
            << QStringLiteral("K : 1\nK : 2\n")
            << Entries{{QStringLiteral("K"), QStringLiteral("1")},
                       {QStringLiteral("K"), QStringLiteral("2")}};
    QTest::newRow("key with its blank")
            << QStringLiteral("END APC  : x\n")
            << Entries{{QStringLiteral("END APC"), QStringLiteral("x")}};
    QTest::newRow("newline then carriage return joined")
            << QStringLiteral("A : 1\n\rB : 2\n")
            << Entries{{QStringLiteral("A"), QStringLiteral("1")},
                       {QStringLiteral("B"), QStringLiteral("2")}};
    QTest::newRow("carriage return before newline stays in the value")
            << QStringLiteral("A : 1\r\n") << Entries{{QStringLiteral("A"), QStringLiteral("1\r")}};
    QTest::newRow("markup is text")
            << QStringLiteral("MODEL    : <img src=x>\n")
            << Entries{{QStringLiteral("MODEL"), QStringLiteral("<img src=x>")}};
}

void TestStatusRecord::entries()
{
    QFETCH(QString, text);
    QFETCH(Entries, expected);
    QCOMPARE(Nis::parseStatus(text), expected);
}

void TestStatusRecord::lookup_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("expected");
    QTest::newRow("first of duplicates") << QStringLiteral("K") << QStringLiteral("first");
    QTest::newRow("other case") << QStringLiteral("bcharge") << QString();
    QTest::newRow("exact case") << QStringLiteral("BCHARGE") << QStringLiteral("100.0 Percent");
    QTest::newRow("absent") << QStringLiteral("FIRMWARE") << QString();
    QTest::newRow("part of a key") << QStringLiteral("BCHARG") << QString();
    QTest::newRow("key with a blank") << QStringLiteral("END APC") << QStringLiteral("x");
}

void TestStatusRecord::lookup()
{
    QFETCH(QString, key);
    QFETCH(QString, expected);
    const StatusRecord record = Nis::parseStatus(
            QStringLiteral("K : first\nBCHARGE  : 100.0 Percent\nK : second\nEND APC  : x\n"));
    QCOMPARE(Nis::lookup(record, key), expected);
    QCOMPARE(Nis::lookup(StatusRecord(), key), QString());
}

void TestStatusRecord::events_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("two lines keep the final empty element")
            << QStringLiteral("A\nB\n")
            << QStringList{QStringLiteral("A"), QStringLiteral("B"), QString()};
    QTest::newRow("no final newline")
            << QStringLiteral("A\nB") << QStringList{QStringLiteral("A"), QStringLiteral("B")};
    QTest::newRow("inner empty line")
            << QStringLiteral("A\n\nB\n")
            << QStringList{QStringLiteral("A"), QString(), QStringLiteral("B"), QString()};
    QTest::newRow("nothing untouched")
            << QStringLiteral(" A \r\n") << QStringList{QStringLiteral(" A \r"), QString()};
    QTest::newRow("empty reply gives nothing") << QString() << QStringList();
}

void TestStatusRecord::events()
{
    QFETCH(QString, text);
    QFETCH(QStringList, expected);
    QCOMPARE(Nis::splitEvents(text), expected);
}

QTEST_APPLESS_MAIN(TestStatusRecord)
#include "tst_statusrecord.moc"
