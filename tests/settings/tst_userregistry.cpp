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

    // A program that keeps its values in a folder of its own, and then the
    // default again.
    void chosenFolderHoldsTheValues()
    {
        QTemporaryDir data;
        QVERIFY(data.isValid());
        setUserRegistryFolder(data.path());
        openUserRegistry(QStringLiteral("Administration"))
                ->setValue(QStringLiteral("MachineNumber"), QStringLiteral("M3"));
        const QSettings written(data.filePath(QStringLiteral("Brindlecast/Administration.conf")),
                                QSettings::IniFormat);
        QCOMPARE(written.value(QStringLiteral("MachineNumber")).toString(), QStringLiteral("M3"));

        setUserRegistryFolder(QString());
        QVERIFY(!openUserRegistry(QStringLiteral("Administration"))
                         ->contains(QStringLiteral("MachineNumber")));
    }

private:
    QTemporaryDir home;
};

QTEST_GUILESS_MAIN(TestUserRegistry)
#include "tst_userregistry.moc"
