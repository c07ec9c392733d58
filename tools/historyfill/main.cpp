// historyfill: writes a made-up stretch of UPS history into a journal, for
// pictures of the History tab and for trying it without waiting for a month.
//
//   historyfill --journal FILE [--days N] [--rows N] [--outages N] [--outage-minutes N]
//
// The stretch ends now. Rows are kept local: the program never sends them to
// its database.
#include "simulatedhistory.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
            QStringLiteral("Writes a made-up stretch of UPS history into a Voltrine journal."));
    parser.addHelpOption();
    parser.addOption({QStringLiteral("journal"), QStringLiteral("the journal file"),
                      QStringLiteral("FILE")});
    parser.addOption({QStringLiteral("days"), QStringLiteral("days of history (default 1)"),
                      QStringLiteral("N"), QStringLiteral("1")});
    parser.addOption({QStringLiteral("rows"),
                      QStringLiteral("measurement rows (default one per 10 s)"),
                      QStringLiteral("N")});
    parser.addOption({QStringLiteral("outages"),
                      QStringLiteral("power failures, spread evenly (default one per day)"),
                      QStringLiteral("N")});
    parser.addOption({QStringLiteral("outage-minutes"),
                      QStringLiteral("length of each failure (default 12)"), QStringLiteral("N"),
                      QStringLiteral("12")});
    parser.process(application);
    QTextStream err(stderr);
    if (!parser.isSet(QStringLiteral("journal"))) {
        err << "historyfill: --journal FILE is needed\n";
        return 2;
    }
    const int days = parser.value(QStringLiteral("days")).toInt();
    SimulatedHistory history;
    history.toMs = QDateTime::currentMSecsSinceEpoch();
    history.fromMs = history.toMs - qint64(days) * 24 * 3600 * 1000;
    history.rows = parser.isSet(QStringLiteral("rows"))
            ? parser.value(QStringLiteral("rows")).toLongLong()
            : qint64(days) * 8640;
    history.outages = parser.isSet(QStringLiteral("outages"))
            ? parser.value(QStringLiteral("outages")).toInt()
            : days;
    history.outageMinutes = parser.value(QStringLiteral("outage-minutes")).toInt();
    if (days <= 0 || history.rows <= 0 || history.outages < 0 || history.outageMinutes <= 0) {
        err << "historyfill: days, rows and outage minutes must be above 0\n";
        return 2;
    }
    QString error;
    if (!history.write(parser.value(QStringLiteral("journal")), &error)) {
        err << "historyfill: " << error << '\n';
        return 1;
    }
    return 0;
}
