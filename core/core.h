#pragma once

#include "rows.h"

#include <QHash>
#include <QMutex>
#include <QString>
#include <QThread>
#include <QWaitCondition>

#include <atomic>

class ApcUpsdControl;
class COMThrd;
class DataBase;
class Logs;
class QTimer;
class Registry;

// Turns what the network client reads from apcupsd into database rows.
//
// The thread is one monitoring run: it prepares the local apcupsd, starts the
// client's polling, waits for a stop request, stops the client and reports
// the end. The object itself lives on the GUI thread and owns the logging
// timer and the slots that write the rows; they work whether monitoring runs
// or not.
class Core final : public QThread
{
    Q_OBJECT
    Q_DISABLE_COPY(Core)

public:
    // The process-wide core on the process-wide subsystems.
    static Core *instance();

    // Tests pass their own subsystems. GUI thread.
    Core(COMThrd *client, ApcUpsdControl *control, DataBase *database, Registry *registry,
         Logs *logs);
    // Ends a monitoring run still in progress.
    ~Core() override;

    // Starts a monitoring run. A stop() that comes before the run has got
    // going is not lost. Deliberately hides QThread::start().
    void start(QThread::Priority priority = QThread::InheritPriority);
    // Asks the monitoring run to end; it stops the client and emits CoreStopped().
    void stop();
    // Stores the interval ("dblogtime") and restarts the logging timer with it.
    void setLoggingInterval(int milliseconds);

    // The most characters a machine number has: the width of the tables'
    // mcid column.
    static constexpr int machineNumberLength = 5;
    // The machine number of the rows written from now on; the configuration
    // page passes what it stored. GUI thread.
    void setMachineNumber(const QString &number);

    // The logging timer, as tests and the configuration page see it.
    int loggingInterval() const;
    bool isLogging() const;

signals:
    void CoreStopped();
    void CoreStarted();

protected:
    void run() override;

private slots:
    void FilterStatus();
    void FilterEvent();
    void timertick();

private:
    QString statusValue(const QString &key) const;
    StatusLookup statusLookup() const;
    // What every monitoring run starts from; runs on the GUI thread, where the
    // database connection and the row slots live.
    void resetForMonitoringRun();
    void startLoggingTimer(int milliseconds);

    COMThrd *comthrd;
    ApcUpsdControl *apcupsdcontrol;
    Logs *logs;
    std::atomic<bool> stopRequested{false};
    // The monitoring run sleeps on stopWake until stop() sets stopRequested.
    QMutex stopMutex;
    QWaitCondition stopWake;
    QMutex startMutex;
    DataBase *database;
    QTimer *loggingTimer;
    Registry *registry;
    QString lastEventMessage;
    // Holds the last change-driven row and the two remembered battery counters.
    MeasurementFilter measurements;
    QString machineNumber;
    // Where lastEventMessage stood in the last event list; -1: not known.
    int lastEventIndex = -1;
    QString monitorVersion;
    // The per-user "Hardware" values as this program last read or wrote
    // them, so that the registry is opened only when one is to change.
    QHash<QString, QString> hardwareValues;
};
