// scripts/register-odbc-driver on private odbcinst.ini files.
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QStringList driverNames{
        QStringLiteral("MySQL ODBC 5.1 Unicode Driver"),
        QStringLiteral("MySQL ODBC 5.2 Unicode Driver"),
        QStringLiteral("MySQL ODBC 5.3 Unicode Driver"),
        QStringLiteral("MySQL ODBC 8.0 Unicode Driver"),
};

struct Run
{
    int exitCode = -1;
    QString output;
};

Run runScript(const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral(VOLTRINE_REGISTER_ODBC_DRIVER), arguments);
    Run run;
    if (process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit)
        run.exitCode = process.exitCode();
    run.output = QString::fromLocal8Bit(process.readAll());
    return run;
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void write(const QString &path, const QByteArray &data)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(data);
}

// What unixODBC itself reads from the file: the Driver= value of each name.
QString driverOf(const QString &directory, const QString &name)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("ODBCSYSINI"), directory);
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral("odbcinst"),
                  {QStringLiteral("-q"), QStringLiteral("-d"), QStringLiteral("-n"), name});
    if (!process.waitForFinished(30000))
        return QString();
    for (const QByteArray &line : process.readAllStandardOutput().split('\n')) {
        if (line.startsWith("Driver="))
            return QString::fromLocal8Bit(line.mid(7)).trimmed();
    }
    return QString();
}

} // namespace

class TestRegisterOdbcDriver final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void registersEveryName();
    void secondRunChangesNothing();
    void keepsOtherSections();
    void leavesAnotherLibraryUnlessForced();
    void missingLibraryIsAnError();
    void removeTakesOnlyItsOwnSections();

private:
    std::unique_ptr<QTemporaryDir> dir;
    QString ini;
    QString library;
};

void TestRegisterOdbcDriver::init()
{
    dir = std::make_unique<QTemporaryDir>();
    ini = dir->filePath(QStringLiteral("odbcinst.ini"));
    // A stand-in library: the script only checks that the file exists.
    library = dir->filePath(QStringLiteral("libmaodbc.so"));
    write(library, "not a real library");
}

void TestRegisterOdbcDriver::registersEveryName()
{
    const Run run = runScript(
            {QStringLiteral("--sysini"), dir->path(), QStringLiteral("--driver"), library});
    QVERIFY2(run.exitCode == 0, qPrintable(run.output));
    for (const QString &name : driverNames)
        QCOMPARE(driverOf(dir->path(), name), library);
}

void TestRegisterOdbcDriver::secondRunChangesNothing()
{
    const QStringList arguments{QStringLiteral("--sysini"), dir->path(), QStringLiteral("--driver"),
                                library};
    QCOMPARE(runScript(arguments).exitCode, 0);
    const QByteArray first = contents(ini);
    QVERIFY(!first.isEmpty());
    const Run again = runScript(arguments);
    QCOMPARE(again.exitCode, 0);
    QCOMPARE(contents(ini), first);
}

void TestRegisterOdbcDriver::keepsOtherSections()
{
    const QByteArray other = "[PostgreSQL Unicode]\nDriver=psqlodbcw.so\nSetup=libodbcpsqlS.so\n";
    write(ini, other);
    QCOMPARE(runScript(
                     {QStringLiteral("--sysini"), dir->path(), QStringLiteral("--driver"), library})
                     .exitCode,
             0);
    QVERIFY(contents(ini).startsWith(other));
    QCOMPARE(driverOf(dir->path(), QStringLiteral("PostgreSQL Unicode")),
             QStringLiteral("psqlodbcw.so"));
    QCOMPARE(driverOf(dir->path(), driverNames.at(2)), library);
}

void TestRegisterOdbcDriver::leavesAnotherLibraryUnlessForced()
{
    // MySQL's own driver already answers to 8.0.
    write(ini, "[MySQL ODBC 8.0 Unicode Driver]\nDriver=/opt/mysql/lib/libmyodbc8w.so\n");
    const QStringList arguments{QStringLiteral("--sysini"), dir->path(), QStringLiteral("--driver"),
                                library};
    const Run run = runScript(arguments);
    QCOMPARE(run.exitCode, 0);
    QVERIFY(run.output.contains(QStringLiteral("left as it is")));
    QCOMPARE(driverOf(dir->path(), driverNames.at(3)),
             QStringLiteral("/opt/mysql/lib/libmyodbc8w.so"));
    QCOMPARE(driverOf(dir->path(), driverNames.at(0)), library);

    QCOMPARE(runScript(arguments + QStringList{QStringLiteral("--force")}).exitCode, 0);
    QCOMPARE(driverOf(dir->path(), driverNames.at(3)), library);
    QCOMPARE(contents(ini).count("[MySQL ODBC 8.0 Unicode Driver]"), 1);
}

void TestRegisterOdbcDriver::missingLibraryIsAnError()
{
    const Run run = runScript({QStringLiteral("--sysini"), dir->path(), QStringLiteral("--driver"),
                               dir->filePath(QStringLiteral("missing.so"))});
    QVERIFY(run.exitCode != 0);
    QVERIFY(!QFile::exists(ini) || contents(ini).isEmpty());
}

void TestRegisterOdbcDriver::removeTakesOnlyItsOwnSections()
{
    // MySQL's own driver under one of the names, and another driver, stay.
    const QByteArray others =
            "[PostgreSQL Unicode]\nDriver=psqlodbcw.so\n\n"
            "[MySQL ODBC 8.0 Unicode Driver]\nDriver=/opt/mysql/lib/libmyodbc8w.so\n";
    write(ini, others);
    QCOMPARE(runScript(
                     {QStringLiteral("--sysini"), dir->path(), QStringLiteral("--driver"), library})
                     .exitCode,
             0);
    QCOMPARE(driverOf(dir->path(), driverNames.at(0)), library);
    const Run removed =
            runScript({QStringLiteral("--sysini"), dir->path(), QStringLiteral("--remove")});
    QVERIFY2(removed.exitCode == 0, qPrintable(removed.output));
    QCOMPARE(contents(ini).trimmed(), others.trimmed());
}

QTEST_GUILESS_MAIN(TestRegisterOdbcDriver)
#include "tst_registerodbcdriver.moc"
