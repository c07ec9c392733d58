// The History tab on a month of rows: how long switching to the 31-day span
// takes, from the choice of the span to the charts showing it, and with the
// page painted once more. Also the read of the journal alone, on the
// loader's thread. Not a test: figures for the reader.
//
//   historybench [--rows N] [--journal FILE] [--runs N]
//
// Without --journal, a journal of N rows (default 1,000,000) over the last 31
// days is made in a temporary folder; with it, the file is made when missing
// and used as it is otherwise. Each run first switches to the last hour.
#include "historypage.h"
#include "journal.h"
#include "simulatedhistory.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <algorithm>

namespace {

QTextStream out(stdout);

qint64 countRows(const QString &path)
{
    qint64 rows = -1;
    {
        QSqlDatabase db = Journal::openReadOnly(path, QStringLiteral("bench-count"));
        QSqlQuery query(db);
        if (query.exec(QStringLiteral("SELECT count(*) FROM upsmeasurements")) && query.next())
            rows = query.value(0).toLongLong();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench-count"));
    return rows;
}

// Switches and waits until the page shows the span; the time it took.
double switchTo(HistoryPage &page, HistoryPage::Span span)
{
    QEventLoop loop;
    QObject::connect(&page, &HistoryPage::shown, &loop, [&loop](bool whole) {
        if (whole)
            loop.quit();
    });
    QTimer::singleShot(60000, &loop, [&loop] { loop.exit(1); });
    QElapsedTimer clock;
    clock.start();
    page.setSpan(span);
    if (loop.exec() != 0) {
        out << "historybench: no answer within a minute\n";
        return -1;
    }
    return clock.nsecsElapsed() / 1e6;
}

QString figures(QVector<double> times)
{
    std::sort(times.begin(), times.end());
    return QStringLiteral("median %1 ms, min %2 ms, max %3 ms")
            .arg(times.at(times.size() / 2), 0, 'f', 1)
            .arg(times.first(), 0, 'f', 1)
            .arg(times.last(), 0, 'f', 1);
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QCommandLineParser parser;
    parser.addOption({QStringLiteral("rows"), QStringLiteral("rows of a new journal"),
                      QStringLiteral("N"), QStringLiteral("1000000")});
    parser.addOption({QStringLiteral("journal"), QStringLiteral("journal to use or make"),
                      QStringLiteral("FILE")});
    parser.addOption({QStringLiteral("runs"), QStringLiteral("switches to time"),
                      QStringLiteral("N"), QStringLiteral("9")});
    parser.process(application);

    QTemporaryDir temporary;
    const QString path = parser.isSet(QStringLiteral("journal"))
            ? parser.value(QStringLiteral("journal"))
            : temporary.filePath(QStringLiteral("journal.db"));
    if (!QFileInfo::exists(path)) {
        SimulatedHistory history;
        history.toMs = QDateTime::currentMSecsSinceEpoch();
        history.fromMs = history.toMs - qint64(31) * 24 * 3600 * 1000;
        history.rows = parser.value(QStringLiteral("rows")).toLongLong();
        history.outages = 10;
        QElapsedTimer clock;
        clock.start();
        QString error;
        if (!history.write(path, &error)) {
            out << "historybench: " << error << '\n';
            return 1;
        }
        out << "made " << history.rows << " rows in " << clock.elapsed() / 1000 << " s\n";
    }
    const qint64 rows = countRows(path);
    out << "journal: " << rows << " measurement rows, " << QFileInfo(path).size() / (1024 * 1024)
        << " MiB\n";
    out.flush();

    // The tab's size in the window.
    HistoryPage page(
            path, [] { return qint64(15) * 60 * 1000; }, nullptr);
    page.resize(475, 435);
    page.show();
    switchTo(page, HistoryPage::LastDay);

    const int runs = std::max(1, parser.value(QStringLiteral("runs")).toInt());
    QVector<double> shown, painted, read;
    for (int run = 0; run < runs; ++run) {
        switchTo(page, HistoryPage::LastHour);
        QElapsedTimer clock;
        clock.start();
        const double ms = switchTo(page, HistoryPage::LastMonth);
        if (ms < 0)
            return 1;
        shown.append(ms);
        read.append(double(page.lastReadMs()));
        page.grab();
        painted.append(clock.nsecsElapsed() / 1e6);
    }
    const HistoryReader::Reduction &month = page.reduction();
    out << "31-day span: " << month.buckets.size() << " buckets of " << month.bucketMs / 60000
        << " min, " << page.marks().size() << " power marks\n";
    out << "switch to 31 days, charts updated: " << figures(shown) << '\n';
    out << "switch to 31 days, page painted:   " << figures(painted) << '\n';
    out << "journal read alone:                " << figures(read) << '\n';
    out.flush();

    // The export of the span shown, as the page does it on a thread of its own.
    {
        HistoryReader reader(path, QStringLiteral("bench-export"));
        QString error;
        QFile csv(temporary.filePath(QStringLiteral("export.csv")));
        if (!reader.open(&error) || !csv.open(QIODevice::WriteOnly)) {
            out << "historybench: " << error << csv.errorString() << '\n';
            return 1;
        }
        QElapsedTimer clock;
        clock.start();
        const qint64 exported = reader.exportCsv(month.fromMs, month.toMs, &csv, nullptr, &error);
        out << "export of the 31-day span: " << exported << " rows, " << csv.size() / (1024 * 1024)
            << " MiB in " << clock.elapsed() << " ms\n";
    }
    return 0;
}
