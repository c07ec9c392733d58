#include "userregistry.h"

#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

// The registry stand-in keeps the same value names under the program's own
// organisation, one file per leaf, in the user's configuration directory.
class TestUserRegistry : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(home.isValid());
        qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit());
    }

    void valuesPersistPerLeaf()
    {
        {
            auto hardware = openUserRegistry(QStringLiteral("Hardware"));
            hardware->setValue(QStringLiteral("UPSStatus"), QStringLiteral("ONBATT"));
            auto database = openUserRegistry(QStringLiteral("LoggingDatabase"));
            database->setValue(QStringLiteral("hostname"), QStringLiteral("db.example.lan"));
        }
        QVERIFY(QFile::exists(home.filePath(QStringLiteral("Brindlecast/Hardware.conf"))));
        QVERIFY(QFile::exists(home.filePath(QStringLiteral("Brindlecast/LoggingDatabase.conf"))));

        auto hardware = openUserRegistry(QStringLiteral("Hardware"));
        QCOMPARE(hardware->value(QStringLiteral("UPSStatus")).toString(), QStringLiteral("ONBATT"));
        QVERIFY(!hardware->contains(QStringLiteral("hostname")));
        auto administration = openUserRegistry(QStringLiteral("Administration"));
        QVERIFY(!administration->contains(QStringLiteral("MachineNumber")));
    }

private:
    QTemporaryDir home;
};

QTEST_GUILESS_MAIN(TestUserRegistry)
#include "tst_userregistry.moc"
