#include "database.h"

#include "journal.h"
#include "journalkeeper.h"
#include "logs.h"
#include "logwriter.h"
#include "pendingrows.h"
#include "registry.h"
#include "serverconnection.h"
#include "userregistry.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMutexLocker>
#include <QThread>

#include <climits>
#include <memory>

namespace {

// At the program's end, how long the writer may take to close the journal and
// the connection. A statement still out is not waited for: its row is settled
// at the next start.
constexpr unsigned long writerStopAtQuitMs = 3000;

// Empty: the trace alone.
DataBase::FailureNotice &replacedFailureNotice()
{
    static DataBase::FailureNotice notice;
    return notice;
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

// Each object has Qt SQL connections of its own names.
QString connectionPrefix()
{
    static std::atomic<int> objects{0};
    return QStringLiteral("voltrine-") + QString::number(++objects);
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

DataBase::DataBase(Registry *registryInstance, Logs *logsInstance, const QString &journalPath)
    : QObject(nullptr)
    , registry(registryInstance)
    , logs(logsInstance)
{
    logs->trace(QStringLiteral("Initializing DataBase Begin"));
    importFromUserRegistry();
    logs->trace(QStringLiteral("Initializing DataBase End"));

    // The journal lives in the working directory, beside confdata.
    journalFile = journalPath.isEmpty()
            ? QFileInfo(registry->fileName()).absoluteDir().filePath(Journal::fileName())
            : QFileInfo(journalPath).absoluteFilePath();
    const QString prefix = connectionPrefix();
    pending = std::make_shared<PendingRows>();
    keeper = new JournalKeeper(logs, journalFile, pending, prefix + QStringLiteral("-records"),
                               this);
    // Before the writer opens the file: a damaged journal is set aside here.
    keeper->open();

    writerThread = new QThread(this);
    writerThread->setObjectName(QStringLiteral("database writer"));
    writer = new LogWriter(
            logs, journalFile, prefix, pending, [this](const LogWriter::OpenAnswer &answer) {
                openAnswered(answer.request, answer.configured,
                             answer.result == ServerConnection::OpenResult::Refused, answer.error);
            });
    writer->moveToThread(writerThread);
    connect(writerThread, &QThread::started, writer, &LogWriter::start);
    writerThread->start();

    LogWriter *target = writer;
    connect(keeper, &JournalKeeper::appended, this, &DataBase::announceAppended);
    connect(keeper, &JournalKeeper::rowsForServer, writer, &LogWriter::pendingRowsWaiting);
    connect(keeper, &JournalKeeper::journalAvailable, writer, &LogWriter::reopenJournal);
    connect(keeper, &JournalKeeper::releaseRequested, writer, [this, target] {
        target->releaseJournal();
        QMetaObject::invokeMethod(keeper, &JournalKeeper::writerReleased, Qt::QueuedConnection);
    });
    connect(keeper, &JournalKeeper::keepingChanged, this, &DataBase::keepingChanged);
    // The process-wide object is never destroyed: its writer ends with the program.
    if (QCoreApplication::instance())
        connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this, [this] {
            stopWriter(writerStopAtQuitMs);
            keeper->finish();
        });
}

DataBase::~DataBase()
{
    // Waits for a statement that is out; the driver's time limits bound it.
    stopWriter(ULONG_MAX);
    delete writer;
}

void DataBase::stopWriter(unsigned long waitMs)
{
    if (!writerStopping) {
        writerStopping = true;
        LogWriter *target = writer;
        QMetaObject::invokeMethod(
                writer,
                [target] {
                    target->finish();
                    QThread::currentThread()->quit();
                },
                Qt::QueuedConnection);
    }
    writerThread->wait(waitMs);
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
               "rows are handed over on the thread that created the database object");
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

void DataBase::openConnection()
{
    assertOwnerThread();
    const ConnectionSettings settings = ConnectionSettings::fromRegistry(registry);
    configured = settings.isConfigured();
    const quint64 request = ++requests;
    if (request == 1)
        firstOpenConfigured = configured;
    LogWriter *target = writer;
    QMetaObject::invokeMethod(
            writer, [target, settings, request] { target->applySettings(settings, request); },
            Qt::QueuedConnection);
}

void DataBase::openAnswered(quint64 request, bool isConfigured, bool refused, const QString &error)
{
    {
        QMutexLocker locker(&answerMutex);
        answeredRequest = request;
        answerConfigured = isConfigured;
        answerRefused = refused;
        answerError = error;
    }
    QMetaObject::invokeMethod(
            this, [this, request] { showAnswer(request); }, Qt::QueuedConnection);
}

void DataBase::showAnswer(quint64 request)
{
    QString text;
    bool connected;
    {
        QMutexLocker locker(&answerMutex);
        if (request <= shownRequest || answeredRequest != request)
            return;
        shownRequest = request;
        connected = answerConfigured && !answerRefused;
        if (answerConfigured && answerRefused)
            text = QStringLiteral("Can not connect to database \n") + answerError;
    }
    if (!text.isEmpty()) {
        if (replacedFailureNotice())
            replacedFailureNotice()(text);
        else
            logs->trace(text);
    }
    emit connectionAnswered(connected && isConnected());
}

bool DataBase::isConnected() const
{
    return writer->isConnected();
}

bool DataBase::writeMeasurement(const QStringList &values, const QString &timeLeft)
{
    return take(Journal::Kind::Measurement, values, timeLeft);
}

bool DataBase::writeEvent(const QStringList &values)
{
    return take(Journal::Kind::Event, values, QString());
}

bool DataBase::take(Journal::Kind kind, const QStringList &values, const QString &timeLeft)
{
    assertOwnerThread();
    const int columns = Journal::columns(kind).size();
    if (values.size() != columns) {
        // A row of another shape can never be stored: it is refused, as the
        // server would refuse it.
        logs->trace((kind == Journal::Kind::Measurement
                             ? QStringLiteral("Write Measurement error : ")
                             : QStringLiteral("Write Event error : ")) +
                    QString::number(values.size()) + QStringLiteral(" values for ") +
                    QString::number(columns) + QStringLiteral(" columns"));
        return true;
    }
    return keeper->take({kind, values, timeLeft, Journal::now(),
                         configured ? Journal::State::Unsent : Journal::State::LocalOnly});
}

void DataBase::announceAppended(int total, int unsent)
{
    appendedRows += total;
    appendedUnsent += unsent;
    // One announcement at a time: the writer collects whatever came meanwhile.
    if (announcementQueued.exchange(true))
        return;
    LogWriter *target = writer;
    QMetaObject::invokeMethod(
            writer,
            [this, target] {
                announcementQueued = false;
                target->rowsAppended(appendedRows.exchange(0), appendedUnsent.exchange(0));
            },
            Qt::QueuedConnection);
}

QString DataBase::lastEventMessage()
{
    assertOwnerThread();
    const QString newest = keeper->newestEventMessage();
    return newest.isEmpty() ? writer->serverLastEventMessage() : newest;
}

bool DataBase::lastEventMessageKnown() const
{
    if (requests == 0 || !firstOpenConfigured || keeper->hasEvents())
        return true;
    QMutexLocker locker(&answerMutex);
    return answeredRequest >= 1;
}

QString DataBase::notKeptReason() const
{
    return keeper->notKeptReason();
}

qint64 DataBase::unsentRows() const
{
    return keeper->countUnsent();
}

void DataBase::setReconnectBackoff(int firstMs, int longestMs)
{
    LogWriter *target = writer;
    QMetaObject::invokeMethod(
            writer, [target, firstMs, longestMs] { target->setBackoff(firstMs, longestMs); },
            Qt::QueuedConnection);
}

void DataBase::setUnsentLimit(qint64 rows)
{
    LogWriter *target = writer;
    QMetaObject::invokeMethod(
            writer, [target, rows] { target->setUnsentLimit(rows); }, Qt::QueuedConnection);
}
