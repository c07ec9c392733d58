#include "core.h"

#include "apcupsdcontrol.h"
#include "comthrd.h"
#include "database.h"
#include "logs.h"
#include "registry.h"
#include "userregistry.h"

#include <QMutexLocker>
#include <QTimer>

#include <exception>

namespace {
constexpr int defaultLoggingInterval = 600000;
constexpr int minimumLoggingInterval = 60000;
const auto loggingIntervalKey = QStringLiteral("dblogtime");
} // namespace

Core *Core::instance()
{
    static std::atomic<Core *> theInstance{nullptr};
    static QMutex creationMutex;
    Core *core = theInstance.load(std::memory_order_acquire);
    if (!core) {
        QMutexLocker locker(&creationMutex);
        core = theInstance.load(std::memory_order_relaxed);
        if (!core) {
            core = new Core(COMThrd::instance(), ApcUpsdControl::instance(), DataBase::instance(),
                            Registry::instance(), Logs::instance());
            theInstance.store(core, std::memory_order_release);
        }
    }
    return core;
}

Core::Core(COMThrd *client, ApcUpsdControl *control, DataBase *db, Registry *settings, Logs *log)
    : QThread(nullptr)
    , comthrd(client)
    , apcupsdcontrol(control)
    , logs(log)
    , database(db)
    , loggingTimer(new QTimer(this))
    , registry(settings)
{
    logs->trace(QStringLiteral("Initializing Core Begin"));

    connect(loggingTimer, &QTimer::timeout, this, &Core::timertick);

    const QString stored = registry->getKey(loggingIntervalKey);
    if (stored.isEmpty() || stored.toInt() < minimumLoggingInterval)
        registry->setKey(loggingIntervalKey, QString::number(defaultLoggingInterval));

    logs->trace(QStringLiteral("Initializing Core End"));

    connect(comthrd, &COMThrd::StatusDataReady, this, &Core::FilterStatus);
    connect(comthrd, &COMThrd::EventsDataReady, this, &Core::FilterEvent);

    try {
        const int interval = registry->getKey(loggingIntervalKey).toInt();
        if (interval >= minimumLoggingInterval) {
            startLoggingTimer(interval);
        } else {
            logs->trace(QStringLiteral(
                    "Logging timer started with exception configurated time not understand"));
        }
    } catch (const std::exception &e) {
        logs->trace(QStringLiteral("Logging timer exception: ") + QString::fromLocal8Bit(e.what()));
    }

    measurements.forgetLastRow();
    lastEventMessage = database->lastEventMessage();
    lastEventIndex = -1;
    machineNumber = openUserRegistry(QStringLiteral("Administration"))
                            ->value(QStringLiteral("MachineNumber"))
                            .toString();
    monitorVersion = QStringLiteral("1.0.0a.2");
    measurements.setTimesOnBattery(statusValue(QStringLiteral("TONBATT")),
                                   statusValue(QStringLiteral("CUMONBATT")));
}

Core::~Core()
{
    stop();
    wait();
}

void Core::start(QThread::Priority priority)
{
    // Cleared here rather than at the top of run(): a stop asked for between
    // this call and the first steps of the run would otherwise be forgotten.
    {
        QMutexLocker locker(&stopMutex);
        stopRequested = false;
    }
    QThread::start(priority);
}

void Core::stop()
{
    QMutexLocker locker(&stopMutex);
    stopRequested = true;
    stopWake.wakeAll();
}

void Core::startLoggingTimer(int milliseconds)
{
    loggingTimer->start(milliseconds);
    logs->trace(QStringLiteral("Logging timer started with ") + QString::number(milliseconds) +
                QStringLiteral(" ms interval"));
}

void Core::setLoggingInterval(int milliseconds)
{
    loggingTimer->stop();
    registry->setKey(loggingIntervalKey, QString::number(milliseconds));
    const int interval = registry->getKey(loggingIntervalKey).toInt();
    // A timer of no length would write rows without pause.
    if (interval <= 0) {
        logs->trace(QStringLiteral(
                "Logging timer started with exception configurated time not understand"));
        return;
    }
    startLoggingTimer(interval);
}

void Core::setMachineNumber(const QString &number)
{
    machineNumber = number;
}

int Core::loggingInterval() const
{
    return loggingTimer->interval();
}

bool Core::isLogging() const
{
    return loggingTimer->isActive();
}

void Core::run()
{
    // Queued, so it runs on the GUI thread before any row of this run: the
    // client is started only after the services below.
    QMetaObject::invokeMethod(
            this, [this] { resetForMonitoringRun(); }, Qt::QueuedConnection);

    apcupsdcontrol->startServices();

    logs->trace(QStringLiteral("Monitoring Started"));
    emit CoreStarted();

    {
        QMutexLocker locker(&startMutex);
        comthrd->start(QThread::InheritPriority);
    }

    // Asleep until stop() wakes it: the flag is set and tested under the same
    // lock, so a stop that comes before the wait begins is not missed.
    {
        QMutexLocker locker(&stopMutex);
        while (!stopRequested)
            stopWake.wait(&stopMutex);
    }

    comthrd->stop();
    msleep(1000);

    logs->trace(QStringLiteral("Monitoring Stoped"));
    emit CoreStopped();
}

void Core::resetForMonitoringRun()
{
    lastEventMessage = database->lastEventMessage();
    // Where the walk stands in the daemon's list is known again only once it
    // has found the stored line.
    lastEventIndex = -1;
    measurements.forgetLastRow();
}

QString Core::statusValue(const QString &key) const
{
    return comthrd->statusValue(key);
}

StatusLookup Core::statusLookup() const
{
    return [this](const QString &key) { return statusValue(key); };
}

void Core::timertick()
{
    const StatusLookup status = statusLookup();
    database->writeMeasurement(MeasurementRow::withTail(MeasurementRow::measuredValues(status),
                                                        status, machineNumber, monitorVersion),
                               status(QStringLiteral("TIMELEFT")));
}

void Core::FilterStatus()
{
    const StatusLookup status = statusLookup();
    // The filter moves on only once the row was taken: a row that was not is
    // written from the next record that gives it.
    MeasurementFilter next = measurements;
    const std::optional<QStringList> measured = next.filter(status);
    if (!measured ||
        database->writeMeasurement(
                MeasurementRow::withTail(*measured, status, machineNumber, monitorVersion),
                status(QStringLiteral("TIMELEFT"))))
        measurements = std::move(next);

    // Written only when it changes: this runs about once a second.
    const auto store = [this](const QString &name, const QString &value) {
        const auto known = hardwareValues.constFind(name);
        if (known != hardwareValues.cend() && *known == value)
            return;
        auto hardware = openUserRegistry(QStringLiteral("Hardware"));
        if (!hardware->contains(name) || hardware->value(name).toString() != value)
            hardware->setValue(name, value);
        hardwareValues.insert(name, value);
    };
    const QString xonbatt = status(QStringLiteral("XONBATT"));
    if (isPassedSelfTest(status(QStringLiteral("SELFTEST")), status(QStringLiteral("LASTXFER")),
                         xonbatt))
        store(QStringLiteral("UPSlastselftest"), xonbatt);
    store(QStringLiteral("UPSStatus"), status(QStringLiteral("STATUS")));
}

void Core::FilterEvent()
{
    const QStringList lines = comthrd->eventLines();
    if (lastEventMessage.isEmpty()) {
        // With nothing stored here, the walk starts after the server's newest
        // line, which the first answer of the server brings.
        if (!database->lastEventMessageKnown()) {
            comthrd->announceNextEvents();
            return;
        }
        lastEventMessage = database->lastEventMessage();
    }
    // The walk moves past a line only once its row was taken.
    QString message = lastEventMessage;
    int index = lastEventIndex;
    const std::optional<QString> next = nextEventToStore(lines, message, index);
    if (!next)
        return;
    const bool taken = database->writeEvent(
            eventRowValues(*next, statusLookup(), machineNumber, monitorVersion));
    if (taken) {
        lastEventMessage = message;
        lastEventIndex = index;
    }
    // One line per list: the rest, or a line that was not taken, come from the
    // next replies, which the client announces even if the list has not
    // changed meanwhile.
    if (!taken || nextEventToStore(lines, message, index))
        comthrd->announceNextEvents();
}
