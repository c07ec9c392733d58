// How long one measurement insert takes on the server connection.
//
//   db_insert_bench [N]      (default 1000 inserts per method)
//
// Starts a MariaDB server of its own (tests/support/mariadb-fixture) on
// loopback, registers the ODBC driver in a private odbcinst.ini, and times N
// inserts of a 22-value measurement row three ways, interleaved in blocks so
// that a busy neighbour on the machine slows all three alike:
//   bound     ServerConnection::insert (prepare, bind 22 values, execute)
//   literal   the same row sent as one SQL text, as the values were once sent
//   prepared  one statement prepared once and executed N times (for comparison)
// Prints median, 90th percentile and mean per method, and the ratios of the
// medians. Figures depend on the machine; only the ratios mean much.
#include "logs.h"
#include "registry.h"
#include "samplerows.h"
#include "serverconnection.h"
#include "testmariadb.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <cstdio>

namespace {

QStringList row(int i)
{
    QStringList values = sampleMeasurement();
    values[6] = QString::number(i % 100) + QStringLiteral(".0 Percent");
    return values;
}

QString literalList(const QStringList &values)
{
    QString text;
    for (const QString &value : values)
        text += (text.isEmpty() ? QStringLiteral("'") : QStringLiteral(",'")) + value +
                QLatin1Char('\'');
    return text;
}

struct Figures
{
    double median, p90, mean;
};

Figures figuresOf(QVector<qint64> nanoseconds)
{
    std::sort(nanoseconds.begin(), nanoseconds.end());
    double sum = 0;
    for (const qint64 n : nanoseconds)
        sum += n;
    const int size = nanoseconds.size();
    return {nanoseconds.at(size / 2) / 1e6, nanoseconds.at(size * 9 / 10) / 1e6, sum / size / 1e6};
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const int count = qMax(10, application.arguments().value(1, QStringLiteral("1000")).toInt());
    QTextStream out(stdout);

    QTemporaryDir dir;
    OwnMariaDb ownServer(dir.path(), QStringLiteral(VOLTRINE_REGISTER_ODBC_DRIVER));
    if (!ownServer.isValid()) {
        out << ownServer.errorString() << '\n';
        return 1;
    }
    TestMariaDb &server = ownServer.get();

    int status = 0;
    {
        Logs logs(dir.filePath(QStringLiteral("Trace.log")));
        Registry registry(&logs, dir.filePath(QStringLiteral("confdata")));
        registry.setKey(QStringLiteral("dbhost"), server.host());
        registry.setKey(QStringLiteral("dbport"), QString::number(server.port()));
        registry.setKey(QStringLiteral("dbname"), QStringLiteral("voltrine_test"));
        registry.setKey(QStringLiteral("dbvdriver"), QStringLiteral("5.3"));
        registry.setKey(QStringLiteral("dbuser"), server.user());
        registry.setKey(QStringLiteral("dbpasswd"), server.password(), true);
        ServerConnection database(&logs, QStringLiteral("bench"));
        QString error;
        if (database.open(ConnectionSettings::fromRegistry(&registry), &error) !=
            ServerConnection::OpenResult::Connected)
            return 1;

        // A second connection for the two comparison methods.
        QSqlDatabase other =
                QSqlDatabase::addDatabase(QStringLiteral("QODBC"), QStringLiteral("other"));
        other.setDatabaseName(ServerConnection::connectionString(QStringLiteral("5.3"),
                                                                 QStringLiteral("voltrine_test"),
                                                                 server.host(), server.port()));
        other.setUserName(server.user());
        other.setPassword(server.password());
        if (!other.open()) {
            out << other.lastError().text() << '\n';
            return 1;
        }

        {
            QSqlQuery prepared(other);
            prepared.prepare(ServerConnection::insertMeasurementStatement(22));
            QVector<qint64> bound, literal, once;
            QElapsedTimer timer;
            const int blocks = 10;
            for (int block = 0; block < blocks; ++block) {
                for (int i = 0; i < count / blocks; ++i) {
                    const QStringList values = row(i);
                    timer.start();
                    if (database.insert(ServerConnection::Table::Measurements, values, &error) !=
                        ServerConnection::Outcome::Stored)
                        status = 1;
                    bound.append(timer.nsecsElapsed());
                }
                for (int i = 0; i < count / blocks; ++i) {
                    const QString text =
                            QStringLiteral(
                                    "INSERT INTO `upsmeasurements`(`status`, `linenomvoltage`, "
                                    "`linevoltage`, `battnomvoltage`, `battvoltage`, `nompower`, "
                                    "`loadpower`, `battlastexch`, `statusflag`, "
                                    "`sessionbattswitch`, "
                                    "`lastbattsince`, `lastacsince`, "
                                    "`battswitchreason`,`battlevel`, "
                                    "`onbattsince`, `batttotaltime`, `lastselftestresult`, "
                                    "`laststart`, `lastupsdump`, `mcid`, `datetime`, "
                                    "`monitorversion`) VALUES (") +
                            literalList(row(i)) + QLatin1Char(')');
                    timer.start();
                    QSqlQuery query(other);
                    if (!query.exec(text))
                        status = 1;
                    literal.append(timer.nsecsElapsed());
                }
                for (int i = 0; i < count / blocks; ++i) {
                    const QStringList values = row(i);
                    timer.start();
                    for (const QString &value : values)
                        prepared.addBindValue(value);
                    if (!prepared.exec())
                        status = 1;
                    once.append(timer.nsecsElapsed());
                }
            }

            const QStringList stored =
                    server.query(QStringLiteral("SELECT COUNT(*) FROM upsmeasurements"),
                                 QStringLiteral("voltrine_test"));
            out << "rows stored: " << stored.value(0) << " (expected "
                << 3 * (count / blocks) * blocks << ")\n";
            const Figures b = figuresOf(bound), l = figuresOf(literal), p = figuresOf(once);
            out << QStringLiteral("%1 inserts each, ms per insert: median / p90 / mean\n")
                            .arg(bound.size());
            out << QStringLiteral("  bound     %1 / %2 / %3\n")
                            .arg(b.median, 0, 'f', 3)
                            .arg(b.p90, 0, 'f', 3)
                            .arg(b.mean, 0, 'f', 3);
            out << QStringLiteral("  literal   %1 / %2 / %3\n")
                            .arg(l.median, 0, 'f', 3)
                            .arg(l.p90, 0, 'f', 3)
                            .arg(l.mean, 0, 'f', 3);
            out << QStringLiteral("  prepared  %1 / %2 / %3\n")
                            .arg(p.median, 0, 'f', 3)
                            .arg(p.p90, 0, 'f', 3)
                            .arg(p.mean, 0, 'f', 3);
            out << QStringLiteral("  median ratio bound/literal %1, bound/prepared-once %2\n")
                            .arg(b.median / l.median, 0, 'f', 2)
                            .arg(b.median / p.median, 0, 'f', 2);
        }
        other.close();
        other = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("other"));
    }
    return status;
}
