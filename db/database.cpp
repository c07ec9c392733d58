#include "database.h"

#include "logs.h"
#include "registry.h"
#include "userregistry.h"

#include <QApplication>
#include <QMessageBox>
#include <QMutex>
#include <QMutexLocker>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QThread>

#include <exception>
#include <memory>

namespace {

// How long the driver may wait for a server that accepts the TCP connection
// but does not answer, in seconds. Without a limit a hung server (or a port
// that belongs to some other service) would freeze the window for good.
constexpr int connectTimeoutSeconds = 10;
constexpr int readWriteTimeoutSeconds = 30;

const QString &noConnectionText()
{
    static const QString text = QStringLiteral("Database connection is not open");
    return text;
}

void showMessageBox(const QString &text)
{
    // Without a widget application there is nobody to show a box to.
    if (!qobject_cast<QApplication *>(QCoreApplication::instance()))
        return;
    QMessageBox box;
    box.setText(text);
    box.exec();
}

// Empty: the message box.
DataBase::FailureNotice &replacedFailureNotice()
{
    static DataBase::FailureNotice notice;
    return notice;
}

void noticeFailure(const QString &text)
{
    if (replacedFailureNotice())
        replacedFailureNotice()(text);
    else
        showMessageBox(text);
}

bool isBlank(const QString &text)
{
    for (const QChar c : text) {
        if (!c.isSpace())
            return false;
    }
    return true;
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

// "MySQL ODBC 5.3 Unicode Driver" as stored in the registry becomes "5.3".
QString driverVersionOf(const QString &driverName)
{
    for (const auto version : {QLatin1String("5.1"), QLatin1String("5.2"), QLatin1String("5.3")}) {
        if (driverName.contains(version))
            return version;
    }
    return driverName;
}

// Errors of the MySQL client library that mean the connection itself is gone:
// server has gone away, lost connection during query, lost connection while
// reading.
bool isConnectionLost(const QSqlError &error)
{
    const QString code = error.nativeErrorCode();
    if (code == QLatin1String("2006") || code == QLatin1String("2013") ||
        code == QLatin1String("2055"))
        return true;
    // The ODBC plug-in leaves the error empty when it cannot even get a
    // statement handle, which happens once the driver has dropped the link.
    return error.type() == QSqlError::NoError || isBlank(error.text());
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

DataBase *DataBase::instance()
{
    static DataBase *theInstance = nullptr;
    static QMutex creationMutex;
    if (!theInstance) {
        QMutexLocker locker(&creationMutex);
        if (!theInstance)
            theInstance = new DataBase(Registry::instance(), Logs::instance());
    }
    return theInstance;
}

DataBase::DataBase(Registry *registryInstance, Logs *logsInstance)
    : QObject(nullptr)
    , registry(registryInstance)
    , logs(logsInstance)
{
    logs->trace(QStringLiteral("Initializing DataBase Begin"));
    connection = QSqlDatabase::addDatabase(QStringLiteral("QODBC"));
    connected = false;
    importFromUserRegistry();
    logs->trace(QStringLiteral("Initializing DataBase End"));

    measurementFits = defaultMeasurementFits();
    eventFits = defaultEventFits();
}

DataBase::~DataBase()
{
    const QString name = connection.connectionName();
    if (connection.isOpen())
        connection.close();
    connection = QSqlDatabase();
    QSqlDatabase::removeDatabase(name);
}

DataBase::FailureNotice DataBase::setFailureNotice(FailureNotice notice)
{
    FailureNotice previous = std::move(replacedFailureNotice());
    replacedFailureNotice() = std::move(notice);
    return previous;
}

void DataBase::assertOwnerThread() const
{
    Q_ASSERT_X(QThread::currentThread() == thread(), "DataBase",
               "the connection belongs to the thread that created it");
}

void DataBase::importFromUserRegistry()
{
    const std::unique_ptr<QSettings> source = openUserRegistry(QStringLiteral("LoggingDatabase"));
    const auto import = [this](const QString &key, const QString &value, bool encode) {
        if (!registry->getKey(key).isEmpty())
            return;
        // An absent value would be written as an empty "KEY:" line, which the
        // next load of the settings file refuses.
        if (value.isEmpty())
            return;
        // So would a value the file cannot hold; the user enters it on the
        // configuration page instead. The value itself is not traced: it may
        // be the password.
        if (!Registry::isLoadable(key, value, encode)) {
            logs->trace(QStringLiteral("Registry value not imported, the configuration file "
                                       "cannot hold it: ") +
                        key);
            return;
        }
        registry->setKey(key, value, encode);
    };
    const auto valueOf = [&source](const char *name) {
        return source->value(QLatin1String(name)).toString();
    };

    import(QStringLiteral("dbhost"), valueOf("hostname"), false);
    import(QStringLiteral("dbport"), valueOf("port"), false);
    import(QStringLiteral("dbname"), valueOf("dbname"), false);
    import(QStringLiteral("dbvdriver"), driverVersionOf(valueOf("drivername")), false);
    import(QStringLiteral("dbuser"), valueOf("username"), false);
    import(QStringLiteral("dbpasswd"), valueOf("password"), true);
}

QString DataBase::connectionString(const QString &driverVersion, const QString &databaseName,
                                   const QString &host, int port)
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

QString DataBase::connectionRecord() const
{
    return databaseName + QStringLiteral(" as ") + user + QLatin1Char('@') + host +
            QLatin1Char(':') + QString::number(port) + QStringLiteral(" Driver version ") +
            driverVersion;
}

void DataBase::openConnection()
{
    assertOwnerThread();
    try {
        host = registry->getKey(QStringLiteral("dbhost"));
        user = registry->getKey(QStringLiteral("dbuser"));
        const QString password = registry->getKey(QStringLiteral("dbpasswd"), true);
        databaseName = registry->getKey(QStringLiteral("dbname"));
        driverVersion = registry->getKey(QStringLiteral("dbvdriver"));
        port = registry->getKey(QStringLiteral("dbport")).toInt(nullptr, 10);

        if (connected)
            closeConnection();
        else if (connection.isOpen())
            connection.close();
        sinceFailedReconnect.invalidate();

        connection.setHostName(host);
        connection.setUserName(odbcValue(user));
        connection.setPassword(odbcValue(password));
        connection.setPort(port);
        connection.setDatabaseName(connectionString(driverVersion, databaseName, host, port));
        connection.setConnectOptions(QStringLiteral("SQL_ATTR_LOGIN_TIMEOUT=") +
                                     QString::number(connectTimeoutSeconds));

        if (!connection.open()) {
            connected = false;
            const QString error = connection.lastError().text();
            logs->trace(QStringLiteral("Can not connect to ") + connectionRecord() +
                        QStringLiteral(" Error: ") + error);
            noticeFailure(QStringLiteral("Can not connect to database \n") + error);
            return;
        }
        if (!connection.isValid()) {
            logs->trace(QStringLiteral("Can not connect to ") + connectionRecord() +
                        QStringLiteral(" Error: ") + connection.lastError().text());
            return;
        }
        logs->trace(QStringLiteral("Connected to ") + connectionRecord());
        connected = true;
        createTables();
        readColumnFits();
    } catch (const std::exception &e) {
        logs->trace(QStringLiteral("Database connection exception ") + connectionRecord() +
                    QStringLiteral(" Error: ") + QString::fromLocal8Bit(e.what()));
    }
}

void DataBase::closeConnection()
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

const QStringList &DataBase::measurementColumns()
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

const QStringList &DataBase::eventColumns()
{
    static const QStringList columns{
            QStringLiteral("model"),          QStringLiteral("message"),
            QStringLiteral("startdate"),      QStringLiteral("lastdump"),
            QStringLiteral("datetime"),       QStringLiteral("mcid"),
            QStringLiteral("monitorversion"),
    };
    return columns;
}

QString DataBase::createMeasurementsStatement()
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

QString DataBase::createEventsStatement()
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

QString DataBase::insertMeasurementStatement(int valueCount)
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

QString DataBase::insertEventStatement(int valueCount)
{
    return QStringLiteral("INSERT INTO `upsevents`(`model`, `message`, `startdate`, `lastdump`, "
                          "`datetime`, `mcid`, `monitorversion`) VALUES (") +
            placeholders(valueCount) + QLatin1Char(')');
}

QString DataBase::lastEventStatement()
{
    return QStringLiteral(
            "SELECT message  FROM  upsevents WHERE id = (SELECT MAX(id)  FROM upsevents);");
}

void DataBase::writeMeasurement(const QStringList &values)
{
    write(insertMeasurementStatement(values.size()), values, measurementFits,
          QStringLiteral("Write Measurement error : "));
}

void DataBase::writeEvent(const QStringList &values)
{
    write(insertEventStatement(values.size()), values, eventFits,
          QStringLiteral("Write Event error : "));
}

void DataBase::write(const QString &statement, const QStringList &values, const ColumnFits &fits,
                     const QString &errorPrefix)
{
    assertOwnerThread();
    if (!connected)
        return;
    QVariantList bound;
    bound.reserve(values.size());
    for (int i = 0; i < values.size(); ++i) {
        const QString &value = values.at(i);
        const QString stored = value.isEmpty() ? QStringLiteral("N/A") : value;
        bound.append(i < fits.size() ? fitToColumn(stored, fits.at(i)) : stored);
    }
    QString error;
    if (!send(statement, bound, &error))
        logs->trace(errorPrefix + error);
}

QString DataBase::lastEventMessage()
{
    assertOwnerThread();
    try {
        if (!connected) {
            logs->trace(
                    QStringLiteral("Database is not connected, can not Get Last Event Message"));
            return QString();
        }
        QVariantList row;
        QString error;
        // No row (an empty table) and a failed query both give "" without a record.
        if (send(lastEventStatement(), {}, &error, &row) && !row.isEmpty())
            return row.first().toString();
        return QString();
    } catch (const std::exception &e) {
        logs->trace(QStringLiteral("Reading Last Event Message exception ") +
                    QString::fromLocal8Bit(e.what()));
        return QString();
    }
}

void DataBase::execQuery(const QString &statement)
{
    assertOwnerThread();
    if (!connected) {
        logs->trace(QStringLiteral("Database is not connected, can not: ") + statement);
        return;
    }
    QString error;
    if (!send(statement, {}, &error))
        logs->trace(QStringLiteral("Query error : ") + error);
}

void DataBase::createTables()
{
    execQuery(createMeasurementsStatement());
    execQuery(createEventsStatement());
}

bool DataBase::send(const QString &statement, const QVariantList &values, QString *errorText,
                    QVariantList *firstRow)
{
    if (!connection.isOpen() && !reopenLostConnection(errorText))
        return false;

    for (int attempt = 0; attempt < 2; ++attempt) {
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
        if (ok) {
            if (firstRow && query.isSelect() && query.next()) {
                const int columns = query.record().count();
                for (int i = 0; i < columns; ++i)
                    firstRow->append(query.value(i));
            }
            return true;
        }

        const QSqlError error = query.lastError();
        if (attempt == 0 && isConnectionLost(error)) {
            query = QSqlQuery();
            if (reopenLostConnection(errorText))
                continue;
            return false;
        }
        *errorText = isBlank(error.text()) ? noConnectionText() : error.text();
        return false;
    }
    *errorText = noConnectionText();
    return false;
}

bool DataBase::reopenLostConnection(QString *errorText)
{
    if (sinceFailedReconnect.isValid() && sinceFailedReconnect.elapsed() < reconnectInterval) {
        *errorText = lastReconnectError;
        return false;
    }
    logs->trace(QStringLiteral("Database connection lost, reconnecting to ") + connectionRecord());
    connection.close();
    if (connection.open()) {
        sinceFailedReconnect.invalidate();
        logs->trace(QStringLiteral("Reconnected to ") + connectionRecord());
        return true;
    }
    lastReconnectError = connection.lastError().text();
    if (isBlank(lastReconnectError))
        lastReconnectError = noConnectionText();
    sinceFailedReconnect.start();
    logs->trace(QStringLiteral("Can not reconnect to ") + connectionRecord() +
                QStringLiteral(" Error: ") + lastReconnectError);
    *errorText = lastReconnectError;
    return false;
}

// The tables as this program creates them.
ColumnFits DataBase::defaultMeasurementFits()
{
    return latin1Fits(
            {20, 20, 20, 20, 20, 20, 20, 20, 20, 5, 30, 30, 50, 20, 20, 20, 50, 30, 30, 5, 30, 10});
}

ColumnFits DataBase::defaultEventFits()
{
    return latin1Fits({30, 65535, 30, 30, 30, 5, 10});
}

void DataBase::readColumnFits()
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
