#pragma once

#include "columnfit.h"

#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QVariantList>

#include <optional>

class Logs;
class QThread;
class Registry;

// What a connection to the MySQL server is opened with: the database settings
// as stored. Read on the thread that owns the settings store and handed over.
struct ConnectionSettings
{
    QString host;
    QString user;
    QString password;
    QString databaseName;
    QString driverVersion;
    int port = 0;

    // Reads dbhost, dbuser, dbpasswd (decoded), dbname, dbvdriver and dbport
    // (base 10, 0 when not a number), in this order.
    static ConnectionSettings fromRegistry(Registry *registry);

    // One server that dbhost names.
    struct Node
    {
        QString host;
        int port = 0;
        QString name() const;
    };
    // The servers of dbhost in its order: "db1,db2:3307,db3" names three
    // (nodes of one cluster), the second with a port of its own, the others
    // on port. A host without a comma is one node, as it always was.
    QList<Node> nodes() const;
    // These settings for one of the nodes.
    ConnectionSettings forNode(const Node &node) const;

    // No host (a new confdata): there is nothing to connect to.
    bool isConfigured() const { return !host.isEmpty(); }
    // "<dbname> as <user>@<host>:<port> Driver version <version>", as traced.
    QString record() const;
    // The database the rows go to. Rows sent to one are never looked for in another.
    QString target() const;
};

// The one connection to the MySQL server that receives the measurement and
// event rows, through Qt's ODBC plug-in and the MySQL ODBC driver named by its
// version ("MySQL ODBC <dbvdriver> Unicode Driver"). It sends what it is asked
// to and reports what happened; it never retries and never reconnects by
// itself: the log writer decides that.
//
// A Qt SQL connection belongs to the thread that created it: every call must
// come from the thread that constructed this object. Debug builds assert it.
class ServerConnection final
{
    Q_DISABLE_COPY(ServerConnection)

public:
    enum class Table { Measurements, Events };

    // What became of a row that was sent.
    enum class Outcome {
        Stored,        // the server confirmed it: one row stored
        AlreadyStored, // its delivery key was on the server: stored before
        Refused,       // the server refused this row's values; sending it again cannot help
        Failed,        // the server refused the statement for another reason (a missing
                       // table, a privilege): the row is not stored, it may be later
        Lost,          // the connection failed while the row was out: it may be stored or not
        NotConnected,  // nothing was sent
    };

    enum class OpenResult {
        Connected,
        Refused,  // the open failed: the driver's error says why
        NotValid, // opened, but the connection is not usable
    };

    // connectionName: a Qt SQL connection name that no one else uses.
    ServerConnection(Logs *logs, const QString &connectionName);
    ~ServerConnection();

    // (Re)opens the connection, creates the tables and reads their column
    // widths. The records are those of the program's database connection:
    // "Connected to ..." or "Can not connect to ... Error: ..."; each can be
    // left out, a failure is reported through errorText in any case.
    // Of several nodes the first that answers is taken; once one has been
    // used, a reopen without a connection starts at the node after it, so
    // that a node that failed is tried last. "Writing to database node ..."
    // is traced when the node changes.
    enum Record { TraceSuccess = 1, TraceFailure = 2, TraceBoth = 3 };
    OpenResult open(const ConnectionSettings &settings, QString *errorText,
                    int records = TraceBoth);
    // Closes an open connection and traces "Database disconnected".
    void closeConnection();
    // Lets a broken connection go without a record.
    void drop();
    bool isConnected() const { return connected; }
    const ConnectionSettings &settings() const { return current; }

    // What names a row on the server, beside it in the table voltrine_delivery:
    // the journal (or run) it came from, its kind and its number there.
    struct DeliveryKey
    {
        QString source;
        Table table = Table::Measurements;
        qint64 number = 0;
    };

    // One row, values in column order (22 for a measurement, 7 for an event).
    // Every value is bound as a parameter; an empty value is stored as "N/A";
    // a value is fitted to its column (see columnfit.h) so that the row is not
    // refused for its length or characters. Nothing is traced. Stored only
    // when the server reports exactly one row stored; a row refused with a
    // warning is Refused, with the server's text.
    //
    // With a key, where deliveryKeyed(table), the row and its key go in one
    // transaction: a key that is there already gives AlreadyStored, and
    // whatever became of an earlier attempt, the row is stored once.
    Outcome insert(Table table, const QStringList &values, QString *errorText,
                   const DeliveryKey *key = nullptr);
    // Whether rows of the table can go with a delivery key: the key table is
    // there, and both it and the row table are transactional. Known after open().
    bool deliveryKeyed(Table table) const;
    // Why they cannot, "" where they can.
    QString unkeyedReason(Table table) const;
    // Deletes the keys of this source (and of sources named "<source>/...")
    // delivered more than days ago.
    void pruneDeliveryKeys(const QString &source, int days);
    // Whether the server answers at all on this connection (a statement
    // refused for a privilege is an answer).
    bool answers();
    // The error of the last statement that failed.
    QString lastQueryError() const { return lastFailedStatement; }
    // The values as insert() binds them (empty as "N/A", fitted to the columns).
    QStringList storedForm(Table table, const QStringList &values) const;

    // The message of the upsevents row with the highest id, or "". Traces
    // "Database is not connected, can not Get Last Event Message" when not connected.
    QString lastEventMessage();
    // Sends one complete statement; its error, if any, is traced.
    void execQuery(const QString &statement);
    // CREATE TABLE IF NOT EXISTS for both tables, measurements first.
    void createTables();

    // What settles a row whose INSERT had no answer. Each gives nothing when
    // the server does not answer.
    // The highest id of the table (0 when it is empty).
    std::optional<qint64> maxId(Table table);
    // How many rows with an id above afterId hold exactly these stored values.
    std::optional<int> countStored(Table table, const QStringList &storedValues, qint64 afterId);
    // This connection's session on the server, and when the server started
    // (seconds since the epoch): a session of an earlier server start is gone.
    struct Session
    {
        qint64 id = -1;
        qint64 serverStart = -1;
        // The node of a cluster it was on ("" when it is not known).
        QString node;
    };
    std::optional<Session> session();
    // Whether an earlier session of this server still exists; while it does, a
    // statement it received may still be carried out. One of this user's that
    // sits idle (a connection that broke without the server noticing) is
    // ended first: it can hold a transaction open for hours.
    std::optional<bool> sessionExists(const Session &earlier);

    // The ODBC connection string: the driver and DATABASE parts, then the
    // server, port and time limits, which the ODBC plug-in would not pass on.
    static QString connectionString(const QString &driverVersion, const QString &databaseName,
                                    const QString &host, int port);

    // What the statements send; exposed so that callers and tests can name them.
    static QString createMeasurementsStatement();
    static QString createEventsStatement();
    static QString insertMeasurementStatement(int valueCount);
    static QString insertEventStatement(int valueCount);
    static QString lastEventStatement();
    static QString createDeliveryStatement();
    static const QStringList &measurementColumns();
    static const QStringList &eventColumns();
    static const QStringList &columns(Table table);
    static QString tableName(Table table);

    // Seconds the driver waits for a server to accept the connection.
    static constexpr int connectTimeoutSeconds = 10;
    // Seconds it waits for the answer to a statement.
    static constexpr int readWriteTimeoutSeconds = 30;

private:
    OpenResult openNode(const ConnectionSettings &settings, QString *errorText, int records);
    void assertOwnerThread() const;
    // Runs one statement with its bound values; the rows of a SELECT are
    // returned through rows (every column of every row).
    bool send(const QString &statement, const QVariantList &values, QSqlError *error,
              QList<QVariantList> *rows = nullptr, int *affected = nullptr);
    void readColumnFits();
    // Creates voltrine_delivery and finds out which tables rows can go with keys.
    void prepareDeliveryKeys();
    // The server's text of the warning that refused the last statement.
    QString refusalText();
    static ColumnFits defaultMeasurementFits();
    static ColumnFits defaultEventFits();

    Logs *logs;
    QSqlDatabase connection;
    bool connected = false;
    ConnectionSettings current;
    // The node of current in use, or last used; -1 before the first.
    int nodeInUse = -1;
    QString tracedNode;
    ColumnFits measurementFits;
    ColumnFits eventFits;
    // Why each table's rows cannot go with a key; "" where they can.
    QString unkeyed[2];
    QString lastFailedStatement;
    QThread *ownerThread;
};
