#pragma once

#include "columnfit.h"

#include <QElapsedTimer>
#include <QObject>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QVariantList>

#include <functional>

class Logs;
class Registry;

// The program's one connection to the MySQL server that receives the
// measurement and event rows, reached through Qt's ODBC plug-in and the MySQL
// ODBC driver named by its version ("MySQL ODBC <dbvdriver> Unicode Driver").
//
// Thread ownership: a Qt SQL connection may only be used by the thread that
// created it, so every call, from the monitoring core as well as from the
// window, must run on the thread that constructed this object (the GUI thread).
// Debug builds assert it.
class DataBase final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(DataBase)

public:
    // Shows the text of a refused connection to the user. The default is a
    // modal message box that waits for OK; tests put their own in its place.
    using FailureNotice = std::function<void(const QString &text)>;

    // The process-wide object on the default connection. Never destroyed.
    static DataBase *instance();

    // Copies missing database settings from the user registry. Tests pass their
    // own store and log; the connection is opened by openConnection() only.
    // The object takes Qt's default connection, so only one may exist at a time.
    DataBase(Registry *registry, Logs *logs);
    ~DataBase() override;

    // (Re)opens the connection from the current settings and creates the tables.
    // A refusal is traced and shown through the failure notice; never throws.
    void openConnection();
    void closeConnection();
    bool isConnected() const { return connected; }

    // One row each, values in column order (22 for a measurement, 7 for an
    // event). Every value is bound as a parameter; an empty value is stored as
    // "N/A"; a value is fitted to its column (see columnfit.h) so that the row
    // is not refused. Nothing is sent while not connected. Failures are traced.
    void writeMeasurement(const QStringList &values);
    void writeEvent(const QStringList &values);
    // The message of the upsevents row with the highest id, or "". The core's
    // monitoring thread must not call this itself: it posts its reset to the
    // GUI thread, which calls it there.
    QString lastEventMessage();
    // Sends one complete statement; its error, if any, is traced.
    void execQuery(const QString &statement);
    // CREATE TABLE IF NOT EXISTS for both tables, measurements first.
    void createTables();

    // The ODBC connection string: the driver and DATABASE parts, then the
    // server, port and time limits, which the ODBC plug-in would not pass on.
    static QString connectionString(const QString &driverVersion, const QString &databaseName,
                                    const QString &host, int port);

    // Replaces the notice for every DataBase object and returns the one it
    // replaces; an empty function puts the message box back.
    static FailureNotice setFailureNotice(FailureNotice notice);

    // After a lost connection could not be reopened, the next automatic attempt
    // waits this long, so that a server that is down does not stall every
    // write for the driver's connect timeout. Default 60 s.
    void setReconnectInterval(int milliseconds) { reconnectInterval = milliseconds; }

    // What the statements send; exposed so that callers and tests can name them.
    static QString createMeasurementsStatement();
    static QString createEventsStatement();
    static QString insertMeasurementStatement(int valueCount);
    static QString insertEventStatement(int valueCount);
    static QString lastEventStatement();
    static const QStringList &measurementColumns();
    static const QStringList &eventColumns();

private:
    void assertOwnerThread() const;
    QString connectionRecord() const;
    void importFromUserRegistry();
    void write(const QString &statement, const QStringList &values, const ColumnFits &fits,
               const QString &errorPrefix);
    // Runs one statement with its bound values. When it fails because the
    // connection is gone, the connection is reopened once and the statement
    // retried once. Returns false with the error text otherwise.
    bool send(const QString &statement, const QVariantList &values, QString *errorText,
              QVariantList *firstRow = nullptr);
    bool reopenLostConnection(QString *errorText);
    // Takes the widths and character sets of the tables the server really has.
    void readColumnFits();
    static ColumnFits defaultMeasurementFits();
    static ColumnFits defaultEventFits();

    // The settings store, the connection, its flag and the trace log.
    Registry *registry;
    QSqlDatabase connection;
    bool connected = false;
    Logs *logs;

    // Settings of the last openConnection(), for its records.
    QString host;
    QString user;
    QString databaseName;
    QString driverVersion;
    int port = 0;

    ColumnFits measurementFits;
    ColumnFits eventFits;

    int reconnectInterval = 60000;
    // Runs from the last failed automatic reconnect.
    QElapsedTimer sinceFailedReconnect;
    QString lastReconnectError;
};
