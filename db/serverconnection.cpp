#include "serverconnection.h"

#include "logs.h"
#include "registry.h"
#include "sqlrows.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QThread>

#include <exception>

namespace {

// A server session's start, as two reads of the server's clock see it, may
// differ by a second or so.
constexpr qint64 serverStartTolerance = 2;

const QString &noConnectionText()
{
    static const QString text = QStringLiteral("Database connection is not open");
    return text;
}

bool isBlank(const QString &text)
{
    for (const QChar c : text) {
        if (!c.isSpace())
            return false;
    }
    return true;
}

QString errorTextOf(const QSqlError &error)
{
    return isBlank(error.text()) ? noConnectionText() : error.text();
}

// A value inside an ODBC connection string: braced when it holds a character
// that would otherwise end or confuse it (a ";" in a password, for example).
QString odbcValue(const QString &value)
{
    const bool plain = !value.contains(QLatin1Char(';')) && !value.contains(QLatin1Char('{')) &&
            !value.contains(QLatin1Char('}')) && !value.startsWith(QLatin1Char(' ')) &&
            !value.endsWith(QLatin1Char(' '));
    if (plain)
        return value;
    QString escaped = value;
    escaped.replace(QLatin1Char('}'), QLatin1String("}}"));
    return QLatin1Char('{') + escaped + QLatin1Char('}');
}

// The settings store accepts IPv6 addresses in brackets; the driver wants them bare.
QString serverAddress(const QString &host)
{
    if (host.size() > 2 && host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        return host.mid(1, host.size() - 2);
    return host;
}

// MySQL's client library numbers its own errors (no connection, connection
// lost, time limit reached) from 2000 to 2999, MariaDB's also from 5000 to
// 5999; the server's errors have other numbers. An error without a number
// comes from the driver manager or the ODBC plug-in, which cannot even reach
// the server.
bool isClientError(const QSqlError &error)
{
    bool isNumber = false;
    const int code = error.nativeErrorCode().toInt(&isNumber);
    if (!isNumber)
        return true;
    return (code >= 2000 && code < 3000) || (code >= 5000 && code < 6000);
}

// Server errors about the values of the row itself: sending it again gives
// the same answer. (Values are fitted to their columns first, so these are rare.)
bool isRowError(const QSqlError &error)
{
    static const QStringList codes{
            QStringLiteral("1048"), // column cannot be null
            QStringLiteral("1136"), // column count does not match value count
            QStringLiteral("1264"), // out of range
            QStringLiteral("1265"), // data truncated
            QStringLiteral("1292"), // incorrect value
            QStringLiteral("1364"), // field has no default
            QStringLiteral("1366"), // incorrect string value
            QStringLiteral("1406"), // data too long
    };
    return codes.contains(error.nativeErrorCode());
}

ServerConnection::Outcome outcomeOf(const QSqlError &error)
{
    if (isClientError(error))
        return ServerConnection::Outcome::Lost;
    return isRowError(error) ? ServerConnection::Outcome::Refused
                             : ServerConnection::Outcome::Failed;
}

// Engines that take a statement back whole with its transaction.
bool isTransactional(const QString &engine)
{
    return engine.compare(QLatin1String("InnoDB"), Qt::CaseInsensitive) == 0 ||
            engine.compare(QLatin1String("XtraDB"), Qt::CaseInsensitive) == 0;
}

const QString &deliveryTable()
{
    static const QString name = QStringLiteral("voltrine_delivery");
    return name;
}

ColumnFits latin1Fits(const QVector<int> &widths)
{
    ColumnFits fits;
    for (const int width : widths)
        fits.append(ColumnFit::latin1(width));
    return fits;
}

QString placeholders(int count)
{
    QString text;
    for (int i = 0; i < count; ++i)
        text += i == 0 ? QStringLiteral("?") : QStringLiteral(",?");
    return text;
}

} // namespace

ConnectionSettings ConnectionSettings::fromRegistry(Registry *registry)
{
    ConnectionSettings settings;
    settings.host = registry->getKey(QStringLiteral("dbhost"));
    settings.user = registry->getKey(QStringLiteral("dbuser"));
    settings.password = registry->getKey(QStringLiteral("dbpasswd"), true);
    settings.databaseName = registry->getKey(QStringLiteral("dbname"));
    settings.driverVersion = registry->getKey(QStringLiteral("dbvdriver"));
    settings.port = registry->getKey(QStringLiteral("dbport")).toInt(nullptr, 10);
    return settings;
}

QString ConnectionSettings::Node::name() const
{
    return host + QLatin1Char(':') + QString::number(port);
}

QList<ConnectionSettings::Node> ConnectionSettings::nodes() const
{
    if (!host.contains(QLatin1Char(',')))
        return {{host, port}};
    QList<Node> list;
    for (QString part : host.split(QLatin1Char(','))) {
        part = part.trimmed();
        if (part.isEmpty())
            continue;
        Node node{part, port};
        // "[::1]:3307" or "db2:3307"; an address with several colons and no
        // brackets has no port of its own.
        const int colon = part.lastIndexOf(QLatin1Char(':'));
        const bool bracketed = part.startsWith(QLatin1Char('['));
        if (colon > 0 &&
            (bracketed ? part.at(colon - 1) == QLatin1Char(']')
                       : part.count(QLatin1Char(':')) == 1)) {
            bool isNumber = false;
            const int ownPort = part.mid(colon + 1).toInt(&isNumber, 10);
            if (isNumber) {
                node.host = part.left(colon);
                node.port = ownPort;
            }
        }
        list.append(node);
    }
    return list;
}

ConnectionSettings ConnectionSettings::forNode(const Node &node) const
{
    ConnectionSettings one = *this;
    one.host = node.host;
    one.port = node.port;
    return one;
}

QString ConnectionSettings::record() const
{
    return databaseName + QStringLiteral(" as ") + user + QLatin1Char('@') + host +
            QLatin1Char(':') + QString::number(port) + QStringLiteral(" Driver version ") +
            driverVersion;
}

QString ConnectionSettings::target() const
{
    return host + QLatin1Char(':') + QString::number(port) + QLatin1Char('/') + databaseName;
}

ServerConnection::ServerConnection(Logs *logsInstance, const QString &connectionName)
    : logs(logsInstance)
    , connection(QSqlDatabase::addDatabase(QStringLiteral("QODBC"), connectionName))
    , measurementFits(defaultMeasurementFits())
    , eventFits(defaultEventFits())
    , ownerThread(QThread::currentThread())
{ }

ServerConnection::~ServerConnection()
{
    const QString name = connection.connectionName();
    if (connection.isOpen())
        connection.close();
    connection = QSqlDatabase();
    QSqlDatabase::removeDatabase(name);
}

void ServerConnection::assertOwnerThread() const
{
    Q_ASSERT_X(QThread::currentThread() == ownerThread, "ServerConnection",
               "the connection belongs to the thread that created it");
}

QString ServerConnection::connectionString(const QString &driverVersion,
                                           const QString &databaseName, const QString &host,
                                           int port)
{
    // The ODBC plug-in does not pass the connection's host and port on when
    // the database name is a connection string, so they are part of it.
    return QStringLiteral("Driver={MySQL ODBC ") + driverVersion +
            QStringLiteral(" Unicode Driver};DATABASE=") + databaseName + QLatin1Char(';') +
            QStringLiteral("SERVER=") + odbcValue(serverAddress(host)) + QLatin1Char(';') +
            QStringLiteral("PORT=") + QString::number(port) +
            QLatin1Char(';')
            // Connector/ODBC's names for its time limits (MariaDB's, then MySQL's).
            + QStringLiteral("CONN_TIMEOUT=") + QString::number(connectTimeoutSeconds) +
            QStringLiteral(";READ_TIMEOUT=") + QString::number(readWriteTimeoutSeconds) +
            QStringLiteral(";WRITE_TIMEOUT=") + QString::number(readWriteTimeoutSeconds) +
            QStringLiteral(";READTIMEOUT=") + QString::number(readWriteTimeoutSeconds) +
            QStringLiteral(";WRITETIMEOUT=") + QString::number(readWriteTimeoutSeconds) +
            QLatin1Char(';');
}

ServerConnection::OpenResult ServerConnection::open(const ConnectionSettings &settings,
                                                    QString *errorText, int records)
{
    assertOwnerThread();
    const QList<ConnectionSettings::Node> nodes = settings.nodes();
    if (settings.host != current.host || nodeInUse >= nodes.size())
        nodeInUse = -1;
    const bool wasConnected = connected;
    current = settings;
    if (nodes.size() <= 1) {
        nodeInUse = 0;
        return openNode(settings, errorText, records);
    }
    // The node in use again when it still answers; after a failure the next.
    const int first = nodeInUse < 0 ? 0 : (wasConnected ? nodeInUse : nodeInUse + 1);
    OpenResult result = OpenResult::Refused;
    for (int i = 0; i < nodes.size(); ++i) {
        const int index = (first + i) % nodes.size();
        result = openNode(settings.forNode(nodes.at(index)), errorText, records);
        if (result != OpenResult::Connected)
            continue;
        nodeInUse = index;
        if (tracedNode != nodes.at(index).name()) {
            tracedNode = nodes.at(index).name();
            logs->trace(QStringLiteral("Writing to database node ") + tracedNode);
        }
        return result;
    }
    return result;
}

ServerConnection::OpenResult ServerConnection::openNode(const ConnectionSettings &settings,
                                                        QString *errorText, int records)
{
    const QString record = settings.record();
    try {
        if (connected)
            closeConnection();
        else if (connection.isOpen())
            connection.close();

        connection.setHostName(settings.host);
        connection.setUserName(odbcValue(settings.user));
        connection.setPassword(odbcValue(settings.password));
        connection.setPort(settings.port);
        connection.setDatabaseName(connectionString(settings.driverVersion, settings.databaseName,
                                                    settings.host, settings.port));
        connection.setConnectOptions(QStringLiteral("SQL_ATTR_LOGIN_TIMEOUT=") +
                                     QString::number(connectTimeoutSeconds));

        const bool opened = connection.open();
        if (!opened || !connection.isValid()) {
            connected = false;
            *errorText = connection.lastError().text();
            if (records & TraceFailure)
                logs->trace(QStringLiteral("Can not connect to ") + record +
                            QStringLiteral(" Error: ") + *errorText);
            return opened ? OpenResult::NotValid : OpenResult::Refused;
        }
        if (records & TraceSuccess)
            logs->trace(QStringLiteral("Connected to ") + record);
        connected = true;
        createTables();
        readColumnFits();
        prepareDeliveryKeys();
        return OpenResult::Connected;
    } catch (const std::exception &e) {
        *errorText = QString::fromLocal8Bit(e.what());
        logs->trace(QStringLiteral("Database connection exception ") + record +
                    QStringLiteral(" Error: ") + *errorText);
        return connected ? OpenResult::Connected : OpenResult::Refused;
    }
}

void ServerConnection::closeConnection()
{
    assertOwnerThread();
    try {
        if (connection.isOpen())
            connection.close();
        connected = false;
        logs->trace(QStringLiteral("Database disconnected"));
    } catch (const std::exception &e) {
        logs->trace(QStringLiteral("Database disconnection exception: ") +
                    QString::fromLocal8Bit(e.what()));
    }
}

void ServerConnection::drop()
{
    assertOwnerThread();
    if (connection.isOpen())
        connection.close();
    connected = false;
}

const QStringList &ServerConnection::measurementColumns()
{
    static const QStringList columns{
            QStringLiteral("status"),
            QStringLiteral("linenomvoltage"),
            QStringLiteral("linevoltage"),
            QStringLiteral("battnomvoltage"),
            QStringLiteral("battvoltage"),
            QStringLiteral("nompower"),
            QStringLiteral("loadpower"),
            QStringLiteral("battlastexch"),
            QStringLiteral("statusflag"),
            QStringLiteral("sessionbattswitch"),
            QStringLiteral("lastbattsince"),
            QStringLiteral("lastacsince"),
            QStringLiteral("battswitchreason"),
            QStringLiteral("battlevel"),
            QStringLiteral("onbattsince"),
            QStringLiteral("batttotaltime"),
            QStringLiteral("lastselftestresult"),
            QStringLiteral("laststart"),
            QStringLiteral("lastupsdump"),
            QStringLiteral("mcid"),
            QStringLiteral("datetime"),
            QStringLiteral("monitorversion"),
    };
    return columns;
}

const QStringList &ServerConnection::eventColumns()
{
    static const QStringList columns{
            QStringLiteral("model"),          QStringLiteral("message"),
            QStringLiteral("startdate"),      QStringLiteral("lastdump"),
            QStringLiteral("datetime"),       QStringLiteral("mcid"),
            QStringLiteral("monitorversion"),
    };
    return columns;
}

const QStringList &ServerConnection::columns(Table table)
{
    return table == Table::Measurements ? measurementColumns() : eventColumns();
}

QString ServerConnection::tableName(Table table)
{
    return table == Table::Measurements ? QStringLiteral("upsmeasurements")
                                        : QStringLiteral("upsevents");
}

QString ServerConnection::createMeasurementsStatement()
{
    return QStringLiteral("CREATE TABLE IF NOT EXISTS upsmeasurements (") +
            QStringLiteral("id int(11) NOT NULL AUTO_INCREMENT,") +
            QStringLiteral("status varchar(20) NOT NULL,") +
            QStringLiteral("linenomvoltage varchar(20) NOT NULL,") +
            QStringLiteral("linevoltage varchar(20) NOT NULL,") +
            QStringLiteral("battnomvoltage varchar(20) NOT NULL,") +
            QStringLiteral("battvoltage varchar(20) NOT NULL,") +
            QStringLiteral("nompower varchar(20) NOT NULL,") +
            QStringLiteral("loadpower varchar(20) NOT NULL,") +
            QStringLiteral("battlastexch varchar(20) NOT NULL,") +
            QStringLiteral("statusflag varchar(20) NOT NULL,") +
            QStringLiteral("sessionbattswitch varchar(5) NOT NULL,") +
            QStringLiteral("lastbattsince varchar(30) NOT NULL,") +
            QStringLiteral("lastacsince varchar(30) NOT NULL,") +
            QStringLiteral("battswitchreason varchar(50) NOT NULL,") +
            QStringLiteral("battlevel varchar(20) NOT NULL,") +
            QStringLiteral("onbattsince varchar(20) NOT NULL,") +
            QStringLiteral("batttotaltime varchar(20) NOT NULL,") +
            QStringLiteral("lastselftestresult varchar(50) NOT NULL,") +
            QStringLiteral("laststart varchar(30) NOT NULL,") +
            QStringLiteral("lastupsdump varchar(30) NOT NULL,") +
            QStringLiteral("mcid varchar(5) NOT NULL,") +
            QStringLiteral("datetime varchar(30) NOT NULL,") +
            QStringLiteral("monitorversion varchar(10) NOT NULL,") +
            QStringLiteral("PRIMARY KEY (id)") +
            QStringLiteral(") ENGINE=InnoDB DEFAULT CHARSET=latin1 AUTO_INCREMENT=1");
}

QString ServerConnection::createEventsStatement()
{
    return QStringLiteral("CREATE TABLE IF NOT EXISTS upsevents (") +
            QStringLiteral("id int(11) NOT NULL AUTO_INCREMENT,") +
            QStringLiteral("model varchar(30) NOT NULL, message text NOT NULL,") +
            QStringLiteral("startdate varchar(30) NOT NULL, lastdump varchar(30) NOT NULL,") +
            QStringLiteral("datetime varchar(30) NOT NULL, mcid varchar(5) NOT NULL,") +
            QStringLiteral("monitorversion varchar(10) NOT NULL,") +
            QStringLiteral(
                    "PRIMARY KEY (id)) ENGINE=InnoDB DEFAULT CHARSET=latin1 AUTO_INCREMENT=1");
}

QString ServerConnection::insertMeasurementStatement(int valueCount)
{
    return QStringLiteral("INSERT INTO `upsmeasurements`(") +
            QStringLiteral("`status`, `linenomvoltage`, `linevoltage`, `battnomvoltage`, "
                           "`battvoltage`, `nompower`, `loadpower`, `battlastexch`, "
                           "`statusflag`, `sessionbattswitch`, `lastbattsince`, "
                           "`lastacsince`, `battswitchreason`,") +
            QStringLiteral("`battlevel`, `onbattsince`, `batttotaltime`, "
                           "`lastselftestresult`, `laststart`, `lastupsdump`, `mcid`, "
                           "`datetime`, `monitorversion`) VALUES (") +
            placeholders(valueCount) + QLatin1Char(')');
}

QString ServerConnection::insertEventStatement(int valueCount)
{
    return QStringLiteral("INSERT INTO `upsevents`(`model`, `message`, `startdate`, `lastdump`, "
                          "`datetime`, `mcid`, `monitorversion`) VALUES (") +
            placeholders(valueCount) + QLatin1Char(')');
}

QString ServerConnection::createDeliveryStatement()
{
    // The program's own table beside the two that other programs read: which
    // rows are stored, by the journal they came from and their number there.
    return QStringLiteral("CREATE TABLE IF NOT EXISTS voltrine_delivery ("
                          "source varchar(64) NOT NULL, kind char(1) NOT NULL, "
                          "journal_id bigint NOT NULL, "
                          "delivered_at timestamp NOT NULL DEFAULT CURRENT_TIMESTAMP, "
                          "PRIMARY KEY (source, kind, journal_id), KEY (delivered_at)"
                          ") ENGINE=InnoDB DEFAULT CHARSET=latin1");
}

QString ServerConnection::lastEventStatement()
{
    return QStringLiteral(
            "SELECT message  FROM  upsevents WHERE id = (SELECT MAX(id)  FROM upsevents);");
}

QStringList ServerConnection::storedForm(Table table, const QStringList &values) const
{
    const ColumnFits &fits = table == Table::Measurements ? measurementFits : eventFits;
    QStringList stored;
    stored.reserve(values.size());
    for (int i = 0; i < values.size(); ++i) {
        const QString &value = values.at(i);
        const QString text = value.isEmpty() ? QStringLiteral("N/A") : value;
        stored.append(i < fits.size() ? fitToColumn(text, fits.at(i)) : text);
    }
    return stored;
}

ServerConnection::Outcome ServerConnection::insert(Table table, const QStringList &values,
                                                   QString *errorText, const DeliveryKey *key)
{
    assertOwnerThread();
    if (!connected)
        return Outcome::NotConnected;
    const QString statement = table == Table::Measurements
            ? insertMeasurementStatement(values.size())
            : insertEventStatement(values.size());
    QVariantList bound;
    for (const QString &value : storedForm(table, values))
        bound.append(value);
    const bool keyed = key && deliveryKeyed(table);
    QSqlError error;
    if (keyed) {
        if (!connection.transaction()) {
            *errorText = errorTextOf(connection.lastError());
            return outcomeOf(connection.lastError());
        }
        // The key first: where it is there already, so is the row.
        if (!send(QStringLiteral("INSERT INTO voltrine_delivery (source, kind, journal_id) "
                                 "VALUES (?, ?, ?)"),
                  {key->source,
                   key->table == Table::Measurements ? QStringLiteral("M") : QStringLiteral("E"),
                   key->number},
                  &error)) {
            connection.rollback();
            if (error.nativeErrorCode() == QLatin1String("1062"))
                return Outcome::AlreadyStored;
            *errorText = errorTextOf(error);
            return outcomeOf(error);
        }
    }
    int affected = 0;
    Outcome outcome = Outcome::Stored;
    if (!send(statement, bound, &error, nullptr, &affected)) {
        *errorText = errorTextOf(error);
        outcome = outcomeOf(error);
    } else if (affected != 1) {
        // Success with a warning, and nothing stored (strict mode refusing a
        // value, as the ODBC driver passes it on).
        *errorText = refusalText();
        outcome = Outcome::Refused;
    }
    if (keyed) {
        if (outcome != Outcome::Stored) {
            connection.rollback();
        } else if (!connection.commit()) {
            const QSqlError commitError = connection.lastError();
            *errorText = errorTextOf(commitError);
            // Without the server's answer, carried out or not: the key tells
            // the next attempt.
            if (isClientError(commitError))
                return Outcome::Lost;
            // The server answered that it did not commit: a cluster reports a
            // conflict with another node's write this way, as a deadlock. The
            // connection is sound, and the row is tried again on it.
            connection.rollback();
            return Outcome::Failed;
        }
    }
    return outcome;
}

QString ServerConnection::refusalText()
{
    QList<QVariantList> warnings;
    QSqlError error;
    if (send(QStringLiteral("SHOW WARNINGS"), {}, &error, &warnings)) {
        for (const QVariantList &warning : warnings) {
            // Level, code, message.
            if (warning.size() >= 3)
                return warning.at(1).toString() + QLatin1Char(' ') + warning.at(2).toString();
        }
    }
    return QStringLiteral("the server stored no row");
}

void ServerConnection::prepareDeliveryKeys()
{
    // An account without CREATE may still use the table an administrator made.
    QSqlError error;
    const bool created = send(createDeliveryStatement(), {}, &error);
    const QString notCreated = created ? QString()
                                       : QStringLiteral("the table voltrine_delivery cannot be "
                                                        "created: ") +
                    errorTextOf(error);
    QList<QVariantList> engines;
    if (!send(QStringLiteral("SELECT TABLE_NAME, ENGINE FROM information_schema.TABLES "
                             "WHERE TABLE_SCHEMA = DATABASE() AND TABLE_NAME IN "
                             "('upsmeasurements', 'upsevents', 'voltrine_delivery')"),
              {}, &error, &engines)) {
        unkeyed[0] = unkeyed[1] = created
                ? QStringLiteral("the tables' engines cannot be read: ") + errorTextOf(error)
                : notCreated;
        return;
    }
    QHash<QString, QString> engineOf;
    for (const QVariantList &row : engines)
        engineOf.insert(row.value(0).toString().toLower(), row.value(1).toString());
    const auto reason = [&engineOf](const QString &name) {
        const QString engine = engineOf.value(name);
        return isTransactional(engine) ? QString()
                                       : QStringLiteral("the table ") + name +
                        QStringLiteral(" is ") + (engine.isEmpty() ? QStringLiteral("?") : engine) +
                        QStringLiteral(", which cannot take a row back");
    };
    const QString keys =
            engineOf.contains(deliveryTable()) || created ? reason(deliveryTable()) : notCreated;
    for (const Table table : {Table::Measurements, Table::Events}) {
        const QString rows = reason(tableName(table));
        unkeyed[int(table)] = keys.isEmpty() ? rows : keys;
    }
}

bool ServerConnection::deliveryKeyed(Table table) const
{
    return connected && unkeyed[int(table)].isEmpty();
}

QString ServerConnection::unkeyedReason(Table table) const
{
    return unkeyed[int(table)];
}

void ServerConnection::pruneDeliveryKeys(const QString &source, int days)
{
    assertOwnerThread();
    if (source.isEmpty() || (!deliveryKeyed(Table::Measurements) && !deliveryKeyed(Table::Events)))
        return;
    QSqlError error;
    send(QStringLiteral("DELETE FROM voltrine_delivery WHERE (source = ? OR source LIKE ?) "
                        "AND delivered_at < NOW() - INTERVAL ? DAY"),
         {source, QString(source + QStringLiteral("/%")), days}, &error);
}

bool ServerConnection::answers()
{
    QSqlError error;
    return connected && send(QStringLiteral("SELECT 1"), {}, &error);
}

QString ServerConnection::lastEventMessage()
{
    assertOwnerThread();
    try {
        if (!connected) {
            logs->trace(
                    QStringLiteral("Database is not connected, can not Get Last Event Message"));
            return QString();
        }
        QList<QVariantList> rows;
        QSqlError error;
        // No row (an empty table) and a failed query both give "" without a record.
        if (send(lastEventStatement(), {}, &error, &rows) && !rows.isEmpty() &&
            !rows.first().isEmpty())
            return rows.first().first().toString();
        return QString();
    } catch (const std::exception &e) {
        logs->trace(QStringLiteral("Reading Last Event Message exception ") +
                    QString::fromLocal8Bit(e.what()));
        return QString();
    }
}

void ServerConnection::execQuery(const QString &statement)
{
    assertOwnerThread();
    if (!connected) {
        logs->trace(QStringLiteral("Database is not connected, can not: ") + statement);
        return;
    }
    QSqlError error;
    if (!send(statement, {}, &error))
        logs->trace(QStringLiteral("Query error : ") + errorTextOf(error));
}

void ServerConnection::createTables()
{
    execQuery(createMeasurementsStatement());
    execQuery(createEventsStatement());
}

std::optional<qint64> ServerConnection::maxId(Table table)
{
    assertOwnerThread();
    QList<QVariantList> rows;
    QSqlError error;
    if (!connected ||
        !send(QStringLiteral("SELECT COALESCE(MAX(id), 0) FROM ") + tableName(table), {}, &error,
              &rows) ||
        rows.isEmpty())
        return std::nullopt;
    return rows.first().value(0).toLongLong();
}

std::optional<int> ServerConnection::countStored(Table table, const QStringList &storedValues,
                                                 qint64 afterId)
{
    assertOwnerThread();
    const QStringList &names = columns(table);
    const int mcid = names.indexOf(QStringLiteral("mcid"));
    if (!connected || storedValues.size() != names.size())
        return std::nullopt;
    QString list;
    for (const QString &name : names)
        list += (list.isEmpty() ? QString() : QStringLiteral(", ")) + QLatin1Char('`') + name +
                QLatin1Char('`');
    // The server compares text without regard to case or trailing blanks, so
    // it only narrows the search; the values are compared exactly here.
    QList<QVariantList> rows;
    QSqlError error;
    if (!send(QStringLiteral("SELECT ") + list + QStringLiteral(" FROM ") + tableName(table) +
                      QStringLiteral(" WHERE id > ? AND mcid = ?"),
              {afterId, storedValues.at(mcid)}, &error, &rows))
        return std::nullopt;
    int count = 0;
    for (const QVariantList &row : rows) {
        bool same = row.size() == storedValues.size();
        for (int i = 0; same && i < row.size(); ++i)
            same = row.at(i).toString() == storedValues.at(i);
        if (same)
            ++count;
    }
    return count;
}

std::optional<ServerConnection::Session> ServerConnection::session()
{
    assertOwnerThread();
    QList<QVariantList> ids;
    QList<QVariantList> uptime;
    QSqlError error;
    if (!connected ||
        !send(QStringLiteral("SELECT CONNECTION_ID(), UNIX_TIMESTAMP()"), {}, &error, &ids) ||
        ids.isEmpty() ||
        !send(QStringLiteral("SHOW GLOBAL STATUS LIKE 'Uptime'"), {}, &error, &uptime) ||
        uptime.isEmpty())
        return std::nullopt;
    Session result;
    result.id = ids.first().value(0).toLongLong();
    result.serverStart = ids.first().value(1).toLongLong() - uptime.first().value(1).toLongLong();
    if (current.nodes().size() > 1)
        result.node = tracedNode;
    return result;
}

std::optional<bool> ServerConnection::sessionExists(const Session &earlier)
{
    const std::optional<Session> now = session();
    if (!now)
        return std::nullopt;
    // The server has started again since: every session of the earlier start is gone.
    if (qAbs(now->serverStart - earlier.serverStart) > serverStartTolerance)
        return false;
    // A session on another node of the cluster is not this node's to look for,
    // and a connection number here may be anybody's.
    if (now->node != earlier.node)
        return false;
    QList<QVariantList> rows;
    QSqlError error;
    if (!send(QStringLiteral("SELECT COMMAND, USER FROM information_schema.PROCESSLIST "
                             "WHERE ID = ?"),
              {earlier.id}, &error, &rows))
        return std::nullopt;
    if (rows.isEmpty())
        return false;
    // Idle: the statement it had is done, and it holds at most a transaction
    // that nobody will ever commit.
    if (rows.first().value(0).toString() == QLatin1String("Sleep") &&
        rows.first().value(1).toString() == current.user &&
        send(QStringLiteral("KILL CONNECTION ") + QString::number(earlier.id), {}, &error))
        return false;
    return true;
}

bool ServerConnection::send(const QString &statement, const QVariantList &values, QSqlError *error,
                            QList<QVariantList> *rows, int *affected)
{
    if (!connection.isOpen()) {
        *error = QSqlError(QString(), noConnectionText(), QSqlError::ConnectionError);
        return false;
    }
    QSqlQuery query(connection);
    query.setForwardOnly(true);
    bool ok;
    if (values.isEmpty()) {
        ok = query.exec(statement);
    } else {
        // Prepared and bound: no value ever becomes part of the SQL text.
        ok = query.prepare(statement);
        if (ok) {
            for (const QVariant &value : values)
                query.addBindValue(value);
            ok = query.exec();
        }
    }
    if (!ok) {
        *error = query.lastError();
        lastFailedStatement = errorTextOf(*error);
        return false;
    }
    if (affected)
        *affected = query.numRowsAffected();
    if (rows && query.isSelect()) {
        *rows += takeRows(query);
        // A result cut short by a lost connection is no answer.
        if (query.lastError().isValid() && query.lastError().type() != QSqlError::NoError) {
            *error = query.lastError();
            return false;
        }
    }
    return true;
}

// The tables as this program creates them.
ColumnFits ServerConnection::defaultMeasurementFits()
{
    return latin1Fits(
            {20, 20, 20, 20, 20, 20, 20, 20, 20, 5, 30, 30, 50, 20, 20, 20, 50, 30, 30, 5, 30, 10});
}

ColumnFits ServerConnection::defaultEventFits()
{
    return latin1Fits({30, 65535, 30, 30, 30, 5, 10});
}

void ServerConnection::readColumnFits()
{
    measurementFits = defaultMeasurementFits();
    eventFits = defaultEventFits();
    const QString statement = QStringLiteral(
            "SELECT TABLE_NAME, COLUMN_NAME, CHARACTER_SET_NAME, CHARACTER_MAXIMUM_LENGTH, "
            "CHARACTER_OCTET_LENGTH FROM information_schema.COLUMNS "
            "WHERE TABLE_SCHEMA = DATABASE() AND TABLE_NAME IN ('upsmeasurements', 'upsevents')");
    QSqlQuery query(connection);
    query.setForwardOnly(true);
    // Without an answer the widths of the tables as created here stay in use.
    if (!query.exec(statement))
        return;
    while (query.next()) {
        const QString table = query.value(0).toString().toLower();
        const QString column = query.value(1).toString().toLower();
        const bool measurements = table == QLatin1String("upsmeasurements");
        const int index = (measurements ? measurementColumns() : eventColumns()).indexOf(column);
        if (index < 0)
            continue;
        // A column that holds no text (no character set) is left to the server.
        if (query.value(2).isNull())
            continue;
        ColumnFits &fits = measurements ? measurementFits : eventFits;
        fits[index] = ColumnFit::fromSchema(query.value(2).toString(), query.value(3).toLongLong(),
                                            query.value(4).toLongLong());
    }
}
