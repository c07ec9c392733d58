#include "logs.h"
#include "readonlyfile.h"
#include "registry.h"
#include "testfiles.h"
#include "withoutfileoverride.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

namespace {

const QByteArray header = "Voltrine:Configuration\nVersion:1.1\n";

} // namespace

class TestRegistry : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        dir.reset(new QTemporaryDir);
        QVERIFY(dir->isValid());
        confPath = dir->filePath(QStringLiteral("confdata"));
        logs.reset(new Logs(dir->filePath(QStringLiteral("Trace.log"))));
    }

    void cleanup()
    {
        logs.reset();
        dir.reset();
    }

    void load_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QStringList>("stored");
        QTest::addColumn<bool>("failed");
        QTest::addColumn<QString>("traced");

        const QStringList head{QStringLiteral("Voltrine:Configuration"),
                               QStringLiteral("Version:1.1")};
        auto with = [&head](std::initializer_list<const char *> more) {
            QStringList lines = head;
            for (const char *line : more)
                lines.append(QString::fromLatin1(line));
            return lines;
        };

        QTest::newRow("empty file gets the header") << QByteArray("") << head << false << QString();
        QTest::newRow("blanks removed around separator")
                << header + "UPSHOST : 192.168.1.20\n"
                << with({"UPSHOST:192.168.1.20"}) << false << QString();
        QTest::newRow("blanks removed inside value")
                << header + "DBNAME:ups log\n"
                << with({"DBNAME:upslog"}) << false << QString();
        QTest::newRow("lower-case key kept as written")
                << header + "upshost:localhost\n"
                << with({"upshost:localhost"}) << false << QString();
        QTest::newRow("slash separator") << header + "UPSHOST/localhost\n"
                                         << with({"UPSHOST/localhost"}) << false << QString();
        QTest::newRow("CR LF line ends")
                << QByteArray("Voltrine:Configuration\r\nVersion:1.1\r\nUPSPORT:3551\r\n")
                << with({"UPSPORT:3551"}) << false << QString();
        QTest::newRow("last line without line break")
                << header + "UPSPORT:3551" << with({"UPSPORT:3551"}) << false << QString();
        QTest::newRow("encoded password and version")
                << header + "DBPASSWD:736563726574\nDBVDRIVER:5.3\n"
                << with({"DBPASSWD:736563726574", "DBVDRIVER:5.3"}) << false << QString();
        QTest::newRow("dotted host name")
                << header + "UPSHOST:ups.example.lan\n"
                << with({"UPSHOST:ups.example.lan"}) << false << QString();
        QTest::newRow("dashes and underscores")
                << header + "UPSHOST:ups-1\nDBNAME:ups_log\nDBUSER:ups--monitor\n"
                << with({"UPSHOST:ups-1", "DBNAME:ups_log", "DBUSER:ups--monitor"}) << false
                << QString();
        QTest::newRow("IPv6 in brackets")
                << header + "UPSHOST:[::1]\nDBHOST:[fe80::1:2]\n"
                << with({"UPSHOST:[::1]", "DBHOST:[fe80::1:2]"}) << false << QString();
        QTest::newRow("database hosts of a cluster")
                << header + "DBHOST:db1,db2:3307,[fd00::3]:3308\n"
                << with({"DBHOST:db1,db2:3307,[fd00::3]:3308"}) << false << QString();

        // A rejected line is skipped; the load goes on after it.
        QTest::newRow("at sign is rejected")
                << header + "UPSHOST:localhost\nUPSPORT:3551\nDBNAME:ups@log\nDBPORT:3306\n"
                << with({"UPSHOST:localhost", "UPSPORT:3551", "DBPORT:3306"}) << true
                << QStringLiteral("Configuration: Syntax Error. Line:5 > DBNAME:ups@log");
        QTest::newRow("empty line is rejected")
                << header + "UPSHOST:localhost\n\nUPSPORT:3551\n"
                << with({"UPSHOST:localhost", "UPSPORT:3551"}) << true
                << QStringLiteral("Configuration: Syntax Error. Line:4 > ");
        QTest::newRow("empty value is rejected")
                << header + "DBUSER:\nUPSPORT:3551\n"
                << with({"UPSPORT:3551"}) << true
                << QStringLiteral("Configuration: Syntax Error. Line:3 > DBUSER:");
        QTest::newRow("tab is no blank")
                << header + "UPSPORT:\t3551\n"
                << head << true
                << QStringLiteral("Configuration: Syntax Error. Line:3 > UPSPORT:\t3551");
        QTest::newRow("colon inside value")
                << header + "UPSHOST:a:b\n"
                << head << true
                << QStringLiteral("Configuration: Syntax Error. Line:3 > UPSHOST:a:b");
        QTest::newRow("a list is no UPS host")
                << header + "UPSHOST:ups1,ups2\n"
                << head << true
                << QStringLiteral("Configuration: Syntax Error. Line:3 > UPSHOST:ups1,ups2");
        QTest::newRow("double dot")
                << header + "UPSHOST:ups..lan\n"
                << head << true
                << QStringLiteral("Configuration: Syntax Error. Line:3 > UPSHOST:ups..lan");
        QTest::newRow("dash at the end")
                << header + "UPSHOST:ups-\n"
                << head << true
                << QStringLiteral("Configuration: Syntax Error. Line:3 > UPSHOST:ups-");
        QTest::newRow("lower-case key character outside A-Z")
                << header + "UPS_HOST:localhost\n"
                << head << true
                << QStringLiteral("Configuration: Syntax Error. Line:3 > UPS_HOST:localhost");
    }

    void load()
    {
        QFETCH(QByteArray, content);
        QFETCH(QStringList, stored);
        QFETCH(bool, failed);
        QFETCH(QString, traced);

        QVERIFY(writeFileBytes(confPath, content));
        QSignalSpy traces(logs.get(), &Logs::LogDbProxy);
        Registry registry(logs.get(), confPath);

        QCOMPARE(registry.storedLines(), stored);
        QCOMPARE(registry.loadFailed(), failed);
        QVERIFY(traceTexts(traces).startsWith(QStringLiteral("Loading configuration")));
        if (!traced.isEmpty())
            QVERIFY2(traceTexts(traces).contains(traced),
                     qPrintable(traceTexts(traces).join(QLatin1Char('|'))));
    }

    void missingFileIsCreatedWithHeader()
    {
        Registry registry(logs.get(), confPath);
        QCOMPARE(readFileBytes(confPath), header);
        QCOMPARE(registry.storedLines(),
                 (QStringList{QStringLiteral("Voltrine:Configuration"),
                              QStringLiteral("Version:1.1")}));
        QVERIFY(!registry.loadFailed());
        QCOMPARE(QFile::permissions(confPath) & 0x0077, QFileDevice::Permissions());
    }

    void relativeNameFollowsWorkingDirectory()
    {
        const QString before = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir->path()));
        {
            Registry registry(logs.get());
            QVERIFY(registry.setKey(QStringLiteral("upsport"), QStringLiteral("3551")));
        }
        QVERIFY(QDir::setCurrent(before));
        QCOMPARE(readFileBytes(confPath), header + "UPSPORT:3551\n");
    }

    void getKey_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<bool>("decode");
        QTest::addColumn<QString>("value");

        QTest::newRow("stored key")
                << QStringLiteral("upshost") << false << QStringLiteral("localhost");
        QTest::newRow("mixed-case key")
                << QStringLiteral("UpsHost") << false << QStringLiteral("localhost");
        QTest::newRow("lower-case line never found")
                << QStringLiteral("dbname") << false << QString();
        QTest::newRow("slash line never found") << QStringLiteral("dbuser") << false << QString();
        QTest::newRow("first of two lines wins")
                << QStringLiteral("upsport") << false << QStringLiteral("3551");
        QTest::newRow("encoded as stored")
                << QStringLiteral("dbpasswd") << false << QStringLiteral("736563726574");
        QTest::newRow("decoded") << QStringLiteral("dbpasswd") << true << QStringLiteral("secret");
        QTest::newRow("header key is no setting")
                << QStringLiteral("voltrine") << false << QString();
        QTest::newRow("missing key") << QStringLiteral("dbhost") << false << QString();
    }

    void getKey()
    {
        QFETCH(QString, key);
        QFETCH(bool, decode);
        QFETCH(QString, value);

        QVERIFY(writeFileBytes(confPath,
                               header +
                                       "UPSHOST:localhost\ndbname:upslog\nDBUSER/monitor\n"
                                       "UPSPORT:3551\nUPSPORT:3552\nDBPASSWD:736563726574\n"));
        Registry registry(logs.get(), confPath);
        QSignalSpy traces(logs.get(), &Logs::LogDbProxy);
        QCOMPARE(registry.getKey(key, decode), value);
        if (value.isEmpty())
            QCOMPARE(traceTexts(traces),
                     QStringList{QStringLiteral("Can not Found Configuration key:") + key});
        else
            QCOMPARE(traces.count(), 0);
    }

    void lowerCaseLineGetsDefaultAppended()
    {
        QVERIFY(writeFileBytes(confPath, header + "upshost:localhost\n"));
        Registry registry(logs.get(), confPath);
        QCOMPARE(registry.getKey(QStringLiteral("upshost")), QString());
        QVERIFY(registry.setKey(QStringLiteral("upshost"), QStringLiteral("localhost")));
        QCOMPARE(registry.getKey(QStringLiteral("upshost")), QStringLiteral("localhost"));
        QCOMPARE(readFileBytes(confPath), header + "upshost:localhost\nUPSHOST:localhost\n");
    }

    void changeOfExistingKeyWaitsForSave()
    {
        QVERIFY(writeFileBytes(confPath, header + "DBPORT:3307\n"));
        Registry registry(logs.get(), confPath);
        QSignalSpy traces(logs.get(), &Logs::LogDbProxy);

        QVERIFY(registry.setKey(QStringLiteral("dbport"), QStringLiteral("3306")));
        QCOMPARE(traceTexts(traces),
                 QStringList{QStringLiteral("Configuration key dbport updated as:3306")});
        QCOMPARE(registry.getKey(QStringLiteral("dbport")), QStringLiteral("3306"));
        QCOMPARE(readFileBytes(confPath), header + "DBPORT:3307\n");

        QVERIFY(registry.save());
        QCOMPARE(readFileBytes(confPath), header + "DBPORT:3306\n");
        QCOMPARE(traceTexts(traces).last(), QStringLiteral("Configuration file saved"));
    }

    void newKeyIsAppendedAtOnce()
    {
        Registry registry(logs.get(), confPath);
        QSignalSpy traces(logs.get(), &Logs::LogDbProxy);
        QVERIFY(registry.setKey(QStringLiteral("dbport"), QStringLiteral("3306")));
        QCOMPARE(traceTexts(traces),
                 QStringList{QStringLiteral("New Configuration key Created as:DBPORT:3306")});
        QCOMPARE(readFileBytes(confPath), header + "DBPORT:3306\n");
    }

    void encodedValues_data()
    {
        QTest::addColumn<QString>("plain");
        QTest::addColumn<QString>("hex");

        QTest::newRow("ascii") << QStringLiteral("secret") << QStringLiteral("736563726574");
        QTest::newRow("latin-1") << QStringLiteral("p\u00e4ss") << QStringLiteral("70e47373");
        QTest::newRow("punctuation")
                << QStringLiteral("a;b'c\"d") << QStringLiteral("613b6227632264");
    }

    void encodedValues()
    {
        QFETCH(QString, plain);
        QFETCH(QString, hex);

        Registry registry(logs.get(), confPath);
        QVERIFY(registry.setKey(QStringLiteral("dbpasswd"), plain, true));
        QVERIFY(registry.getKey(QStringLiteral("dbpasswd")).startsWith(hex));
        QCOMPARE(registry.getKey(QStringLiteral("dbpasswd"), true), plain);
        // Neither its creation nor a change tells the trace the password.
        QVERIFY(registry.setKey(QStringLiteral("dbpasswd"), plain + plain, true));
        QVERIFY(!readFileBytes(logs->filePath()).contains(hex.toLatin1()));

        // The encoded form loads again at the next start.
        Registry reloaded(logs.get(), confPath);
        QVERIFY(!reloaded.loadFailed());
        QCOMPARE(reloaded.getKey(QStringLiteral("dbpasswd"), true), plain);
    }

    void emptyValueReadsAsMissing()
    {
        Registry registry(logs.get(), confPath);
        QVERIFY(registry.setKey(QStringLiteral("dbuser"), QString()));
        QCOMPARE(readFileBytes(confPath), header + "DBUSER:\n");
        QCOMPARE(registry.getKey(QStringLiteral("dbuser")), QString());
        QVERIFY(!Registry::isLoadable(QStringLiteral("dbuser"), QString()));
        Registry reloaded(logs.get(), confPath);
        QVERIFY(reloaded.loadFailed());
    }

    void isLoadable_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("encode");
        QTest::addColumn<bool>("loadable");

        QTest::newRow("name") << QStringLiteral("localhost") << false << true;
        QTest::newRow("port") << QStringLiteral("3551") << false << true;
        QTest::newRow("IPv4") << QStringLiteral("192.168.1.20") << false << true;
        QTest::newRow("dotted name") << QStringLiteral("ups.example.lan") << false << true;
        QTest::newRow("IPv6") << QStringLiteral("[::1]") << false << true;
        QTest::newRow("blank inside") << QStringLiteral("ups host") << false << false;
        QTest::newRow("colon") << QStringLiteral("ups:1") << false << false;
        QTest::newRow("empty") << QString() << false << false;
        QTest::newRow("at sign") << QStringLiteral("me@host") << false << false;
        QTest::newRow("encoded Latin-1") << QStringLiteral("p\u00e4ss w;rd") << true << true;
        QTest::newRow("encoded beyond Latin-1") << QStringLiteral("pass\u20ac") << true << false;
        QTest::newRow("encoded empty") << QString() << true << false;
    }

    void isLoadable()
    {
        QFETCH(QString, value);
        QFETCH(bool, encode);
        QFETCH(bool, loadable);

        const QString key = encode ? QStringLiteral("dbpasswd") : QStringLiteral("upshost");
        QCOMPARE(Registry::isLoadable(key, value, encode), loadable);
        // What isLoadable promises is what a save and a load really do.
        {
            Registry registry(logs.get(), confPath);
            registry.setKey(key, value, encode);
        }
        Registry reloaded(logs.get(), confPath);
        QCOMPARE(!reloaded.loadFailed() && reloaded.getKey(key, encode) == value, loadable);
    }

    void dottedHostSurvivesSaveAndReload()
    {
        {
            Registry registry(logs.get(), confPath);
            QVERIFY(registry.setKey(QStringLiteral("upshost"), QStringLiteral("localhost")));
            QVERIFY(registry.setKey(QStringLiteral("upsport"), QStringLiteral("3551")));
            QVERIFY(registry.setKey(QStringLiteral("upshost"),
                                    QStringLiteral("ups-1.example.lan")));
            QVERIFY(registry.save());
        }
        Registry reloaded(logs.get(), confPath);
        QVERIFY(!reloaded.loadFailed());
        QCOMPARE(reloaded.getKey(QStringLiteral("upshost")), QStringLiteral("ups-1.example.lan"));
        QCOMPARE(reloaded.getKey(QStringLiteral("upsport")), QStringLiteral("3551"));
    }

    // Three starts of the program on a file with a bad line in the middle:
    // the owners find their keys after it and append nothing; a value saved
    // for such a key is the one read at the next start; the save drops the
    // bad line, which could never be read.
    void badLineInTheMiddleConverges()
    {
        const QByteArray content =
                header + "UPSHOST:localhost\nDBNAME:ups@log\nDBLOGTIME:600000\nUPSPORT:3551\n";
        QVERIFY(writeFileBytes(confPath, content));
        for (int start = 1; start <= 3; ++start) {
            Registry registry(logs.get(), confPath);
            // The bad line stays until the first save.
            QCOMPARE(registry.loadFailed(), start < 3);
            for (const auto &[key, fallback] : {std::pair{"upshost", "localhost"},
                                                {"dblogtime", "600000"},
                                                {"upsport", "3551"}}) {
                if (registry.getKey(QLatin1String(key)).isEmpty())
                    registry.setKey(QLatin1String(key), QLatin1String(fallback));
            }
            if (start < 3)
                QCOMPARE(readFileBytes(confPath), content);
            if (start == 2) {
                QCOMPARE(registry.getKey(QStringLiteral("dblogtime")), QStringLiteral("600000"));
                QVERIFY(registry.setKey(QStringLiteral("dblogtime"), QStringLiteral("120000")));
                QVERIFY(registry.save());
            }
            if (start == 3)
                QCOMPARE(registry.getKey(QStringLiteral("dblogtime")), QStringLiteral("120000"));
        }
        QCOMPARE(readFileBytes(confPath),
                 header + "UPSHOST:localhost\nDBLOGTIME:120000\nUPSPORT:3551\n");
    }

    // A save after a load that kept no line writes what a new file holds,
    // so that load and save settle at once instead of at the next start.
    void saveAfterEveryLineWasRejected()
    {
        QVERIFY(writeFileBytes(confPath, "\nups host\n"));
        Registry registry(logs.get(), confPath);
        QVERIFY(registry.storedLines().isEmpty());
        QVERIFY(registry.save());
        QCOMPARE(readFileBytes(confPath), header);
    }

    // Where the folder does not let a temporary file be made beside
    // confdata, the save writes the file itself.
    void saveInFolderThatIsNotWritable()
    {
        QVERIFY(writeFileBytes(confPath, header + "UPSPORT:3551\n"));
        Registry registry(logs.get(), confPath);
        QVERIFY(registry.setKey(QStringLiteral("upsport"), QStringLiteral("3552")));
        const QFileDevice::Permissions folder = QFile::permissions(dir->path());
        QVERIFY(QFile::setPermissions(dir->path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        bool saved = false;
        const bool confined =
                runWithoutFileOverride([&registry, &saved] { saved = registry.save(); });
        QFile::setPermissions(dir->path(), folder);
        if (!confined)
            QSKIP("cannot give up the right to override file permissions here");
        QVERIFY(saved);
        QCOMPARE(readFileBytes(confPath), header + "UPSPORT:3552\n");
    }

    void newKeyAfterLastLineWithoutLineBreak()
    {
        QVERIFY(writeFileBytes(confPath, header + "UPSPORT:3551"));
        {
            Registry registry(logs.get(), confPath);
            QVERIFY(registry.setKey(QStringLiteral("upshost"), QStringLiteral("localhost")));
        }
        Registry reloaded(logs.get(), confPath);
        QVERIFY(!reloaded.loadFailed());
        QCOMPARE(reloaded.getKey(QStringLiteral("upsport")), QStringLiteral("3551"));
        QCOMPARE(reloaded.getKey(QStringLiteral("upshost")), QStringLiteral("localhost"));
    }

    void saveIsOwnerOnly()
    {
        QVERIFY(writeFileBytes(confPath, header));
        QVERIFY(QFile::setPermissions(confPath,
                                      QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                              QFileDevice::ReadGroup | QFileDevice::ReadOther));
        Registry registry(logs.get(), confPath);
        QVERIFY(registry.setKey(QStringLiteral("dbpasswd"), QStringLiteral("secret"), true));
        QVERIFY(registry.save());
        QCOMPARE(QFile::permissions(confPath) & 0x0077, QFileDevice::Permissions());
        QVERIFY(QFile::permissions(confPath) & QFileDevice::ReadOwner);
    }

    void readOnlyFile()
    {
        const QByteArray content = header + "UPSHOST:localhost\n";
        QVERIFY(writeFileBytes(confPath, content));
        ReadOnlyFile readOnly(confPath);
        if (!readOnly.isEffective())
            QSKIP("cannot make a file read-only here");

        Registry registry(logs.get(), confPath);
        QVERIFY(!registry.loadFailed());
        QCOMPARE(registry.getKey(QStringLiteral("upshost")), QStringLiteral("localhost"));

        QSignalSpy traces(logs.get(), &Logs::LogDbProxy);
        QVERIFY(registry.setKey(QStringLiteral("upshost"), QStringLiteral("ups.lan")));
        QVERIFY(!registry.save());
        QVERIFY(!registry.setKey(QStringLiteral("upsport"), QStringLiteral("3551")));
        QCOMPARE(traceTexts(traces),
                 (QStringList{QStringLiteral("Configuration key upshost updated as:ups.lan"),
                              QStringLiteral("Can not open Configuration file"),
                              QStringLiteral("Can not Configuration Registry key:UPSPORT:3551")}));
        // Memory keeps the change; the file is untouched.
        QCOMPARE(registry.getKey(QStringLiteral("upshost")), QStringLiteral("ups.lan"));
        QCOMPARE(readFileBytes(confPath), content);
    }

    void readOnlyEmptyFile()
    {
        QVERIFY(writeFileBytes(confPath, QByteArray()));
        ReadOnlyFile readOnly(confPath);
        if (!readOnly.isEffective())
            QSKIP("cannot make a file read-only here");
        QSignalSpy traces(logs.get(), &Logs::LogDbProxy);
        Registry registry(logs.get(), confPath);
        QVERIFY(registry.loadFailed());
        QVERIFY(registry.storedLines().isEmpty());
        QVERIFY(traceTexts(traces).contains(QStringLiteral("Configuration: Empty")));
    }

    // A save that fails half-way (here: the file size limit is hit while the
    // new content is written) leaves the old file whole.
    void interruptedSaveKeepsOldFile()
    {
        QByteArray content = header + "UPSHOST:localhost\n";
        for (int i = 0; i < 20; ++i)
            content += "KEY" + QByteArray::number(i) + ":value\n";
        QVERIFY(writeFileBytes(confPath, content));
        Registry registry(logs.get(), confPath);
        QVERIFY(registry.setKey(QStringLiteral("upshost"), QString(4096, QLatin1Char('a'))));

        QSignalSpy traces(logs.get(), &Logs::LogDbProxy);
        rlimit previous{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &previous), 0);
        const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limited = previous;
        limited.rlim_cur = 1024;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
        const bool saved = registry.save();
        setrlimit(RLIMIT_FSIZE, &previous);
        std::signal(SIGXFSZ, previousHandler);

        QVERIFY(!saved);
        QCOMPARE(readFileBytes(confPath), content);
        QVERIFY(traceTexts(traces).last().startsWith(
                QStringLiteral("Can not write Configuration file :")));
        // Nothing but the old file and the trace log is left behind.
        QCOMPARE(QDir(dir->path()).entryList(QDir::Files).size(), 2);
    }

private:
    static QStringList traceTexts(const QSignalSpy &spy)
    {
        QStringList texts;
        for (const QList<QVariant> &arguments : spy)
            texts.append(arguments.at(0).toString().section(QStringLiteral("]: "), 1));
        return texts;
    }

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<Logs> logs;
    QString confPath;
};

QTEST_GUILESS_MAIN(TestRegistry)
#include "tst_registry.moc"
