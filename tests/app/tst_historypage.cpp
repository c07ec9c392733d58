// The History tab on a journal that is written while it is shown: the newest
// rows join the charts as they are written, and the export saves the rows of
// the span shown.

#include "historypage.h"
#include "journal.h"

#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <memory>

namespace {

QStringList measurement(const QString &lineVoltage)
{
    QStringList values;
    for (int i = 0; i < Journal::columns(Journal::Kind::Measurement).size(); ++i)
        values.append(QStringLiteral("value %1").arg(i));
    values[2] = lineVoltage;
    return values;
}

} // namespace

class TestHistoryPage final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void newestRowsAppear();
    void exportSavesShownSpan();

private:
    QString journalPath() const { return dir->filePath(QStringLiteral("journal.db")); }
    bool append(const QString &lineVoltage, qint64 timeMs)
    {
        return writer
                ->appendMeasurement(measurement(lineVoltage), QString(), Journal::State::LocalOnly,
                                    timeMs)
                .has_value();
    }
    // The lowest or highest line voltage in force in the newest bucket shown.
    double newestVoltage(bool highest) const
    {
        const auto &buckets = page->reduction().buckets;
        if (buckets.isEmpty())
            return std::nan("");
        const HistoryReader::Bucket &newest = buckets.last();
        return highest ? newest.high[HistoryReader::LineVoltage]
                       : newest.low[HistoryReader::LineVoltage];
    }

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<Journal> writer;
    std::unique_ptr<HistoryPage> page;
};

void TestHistoryPage::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    // A home without a Documents folder.
    qputenv("HOME", QFile::encodeName(dir->path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir->filePath(QStringLiteral("config"))));
    writer = std::make_unique<Journal>(journalPath(), QStringLiteral("page-test-writer"));
    QString error;
    QVERIFY2(writer->open(Journal::Mode::Durable, &error), qPrintable(error));
    page = std::make_unique<HistoryPage>(
            journalPath(), [] { return qint64(600000); }, nullptr);
    page->resize(475, 435);
}

void TestHistoryPage::cleanup()
{
    page.reset();
    writer.reset();
    dir.reset();
}

void TestHistoryPage::newestRowsAppear()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    QVERIFY(append(QStringLiteral("230.0 Volts"), now - 60000));
    page->setSpan(HistoryPage::LastHour);
    QSignalSpy shown(page.get(), &HistoryPage::shown);
    page->show();
    QTRY_VERIFY_WITH_TIMEOUT(!shown.isEmpty(), 30000);
    QCOMPARE(newestVoltage(false), 230.0);

    // Written while the page is in view, and while it is not.
    QVERIFY(append(QStringLiteral("187.0 Volts"), QDateTime::currentMSecsSinceEpoch()));
    QTRY_COMPARE_WITH_TIMEOUT(newestVoltage(false), 187.0, 30000);
    page->hide();
    QVERIFY(append(QStringLiteral("250.0 Volts"), QDateTime::currentMSecsSinceEpoch()));
    page->show();
    QTRY_COMPARE_WITH_TIMEOUT(newestVoltage(true), 250.0, 30000);
}

void TestHistoryPage::exportSavesShownSpan()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    QVERIFY(append(QStringLiteral("221.0 Volts"), now - 2 * 3600 * 1000));
    QVERIFY(append(QStringLiteral("222.0 Volts"), now - 60000));
    QVERIFY(append(QStringLiteral("223.0 Volts"), now - 30000));
    page->setSpan(HistoryPage::LastHour);
    QSignalSpy shown(page.get(), &HistoryPage::shown);
    page->show();
    QTRY_VERIFY_WITH_TIMEOUT(!shown.isEmpty(), 30000);

    const QString file = dir->filePath(QStringLiteral("export.csv"));
    QString suggested;
    const HistoryPage::SaveChooser previous =
            HistoryPage::setSaveChooser([&](QWidget *, const QString &name) {
                suggested = name;
                return file;
            });
    QSignalSpy exported(page.get(), &HistoryPage::exported);
    auto *button = page->findChild<QPushButton *>();
    QVERIFY(button);
    QCOMPARE(button->text(), QStringLiteral("Export CSV..."));
    button->click();
    QTRY_COMPARE_WITH_TIMEOUT(exported.count(), 1, 30000);
    HistoryPage::setSaveChooser(previous);
    QVERIFY(suggested.endsWith(QLatin1String(".csv")));
    QCOMPARE(QFileInfo(suggested).path(), dir->path());
    QCOMPARE(exported.first().at(0).toLongLong(), 2);
    // The result outlasts the refreshes that follow.
    QVERIFY(shown.wait(30000));
    QCOMPARE(page->exportText(), QStringLiteral("Saved 2 rows to export.csv"));

    QFile csv(file);
    QVERIFY(csv.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = csv.readAll().split('\n');
    QCOMPARE(lines.size(), 4); // header, two rows, and nothing after the last CR LF
    QVERIFY(lines.at(0).startsWith("status,linenomvoltage,linevoltage,"));
    QVERIFY(lines.at(1).contains(",222.0 Volts,"));
    QVERIFY(lines.at(2).contains(",223.0 Volts,"));
}

QTEST_MAIN(TestHistoryPage)
#include "tst_historypage.moc"
