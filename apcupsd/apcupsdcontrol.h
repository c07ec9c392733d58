#pragma once

#include "installationprofile.h"
#include "servicecontrol.h"

#include <QPointer>
#include <QString>
#include <QStringList>
#include <QThread>

#include <atomic>

class COMThrd;
class Logs;
class Registry;

// The program's administrator of the local apcupsd: at each start of
// monitoring it ends what would hold the UPS and starts or restarts the
// daemon; it rewrites apcupsd.conf for a USB or a serial UPS; it lists the
// machine's serial devices; and on request it runs the UPS self-test through
// apcupsd's test tool. Everything but the self-test runs on the caller's
// thread and blocks it; the self-test runs on this object's own thread, and
// on Linux the configuration save and the start the user asks for run on
// threads of their own, since they wait for the user's password.
class ApcUpsdControl final : public QThread
{
    Q_OBJECT
    Q_DISABLE_COPY(ApcUpsdControl)

public:
    // The process-wide controller, for the installation of this platform.
    static ApcUpsdControl *instance();

    // Makes sure "upscontype" and "uspcomport" hold a value ("USB", "NA").
    // The network client is stopped during a self-test and started after it.
    // Tests pass their own profile, settings, log and client.
    ApcUpsdControl(InstallationProfile profile, Registry *registry, Logs *logs, COMThrd *client,
                   QObject *parent = nullptr);
    ~ApcUpsdControl() override;

    const InstallationProfile &profile() const { return service.profile(); }

    // The image names of the running processes.
    QStringList processList() const { return service.processList(); }
    // Ends the vendor services and apctest when they run; starts apcupsd when
    // it does not run, restarts it when it ran beside one of them.
    // Never asks for a password: where one is needed, daemonNotRunning() says
    // so and DaemonStateChanged() is emitted (Linux).
    void startServices()
    {
        service.startServices();
        emit DaemonStateChanged();
    }
    void stopApcupsd() { service.stopApcupsd(); }

    // Stop apcupsd, rewrite its configuration for a USB UPS or a smart UPS on
    // the named serial port, start apcupsd again. GUI thread.
    void writeUsbConfig() { service.writeUsbConfig(); }
    void writeComConfig(const QString &portName) { service.writeComConfig(portName); }

    // Linux: the same save on a thread of its own, so that a password dialog
    // never holds the window; an empty portName for USB. ConfigSaveFinished()
    // follows on this object's thread. False, and nothing done, while a save
    // is under way.
    bool startConfigSave(UpsConnection connection, const QString &portName, NisAccess nis);
    bool isConfigSaveRunning() const { return !configSave.isNull(); }

    // Linux: the local apcupsd started at the user's request, asking for a
    // password where needed, on a thread of its own. DaemonStateChanged()
    // follows. False, and nothing done, while a start is under way.
    bool startDaemonOnRequest();
    bool isDaemonStartRunning() const { return !daemonStart.isNull(); }
    // Linux: why the local apcupsd was left stopped; empty when it was not.
    QString daemonNotRunning() const { return service.daemonNotRunning(); }

    // For the end of the program: ends the commands that the saves and starts
    // under way wait for, and waits for their threads.
    void abandonAdministration();

    // Linux: why the last configuration save did not take effect, for the
    // user (empty when it did), and whether this program cannot change the
    // configuration at all.
    QString configProblem() const { return service.configProblem(); }
    bool configLeftUnchanged() const { return service.configLeftUnchanged(); }
    bool configNeedsAdministrator() const { return service.configNeedsAdministrator(); }

    // Serial devices as "<description> (<port>)" that contain filter.
    QStringList listDevices(const QString &filter) const { return service.listDevices(filter); }

    // Asks for a self-test and starts this object's thread to run it. A
    // request while one runs only sets the flag again.
    void requestSelfTest();
    bool isSelfTestRequested() const { return selfTestRequested; }
    void setSelfTestRequested(bool requested) { selfTestRequested = requested; }

    // With requested set: stops the network client and apcupsd, runs the
    // dialogue with apctest, and returns its result text (never empty).
    // In every case then starts apcupsd's services and the network client
    // again. Returns an empty text when no test was requested. The body of
    // this object's thread.
    QString selfTest(bool requested);

signals:
    void SelfTestStarted();
    void SelfTestFinished();
    void ConfigSaveFinished();
    void DaemonStateChanged();

protected:
    void run() override;

private:
    QString selfTestDialogue();
    // Runs work on a new thread held in slot; once it ends, slot is empty and
    // announce() is emitted on this object's thread.
    void runAside(QPointer<QThread> &slot, std::function<void()> work,
                  void (ApcUpsdControl::*announce)());

    std::atomic<bool> selfTestRequested{false};
    Logs *const logs;
    COMThrd *const client;
    Registry *const registry;
    ServiceControl service;
    QPointer<QThread> configSave;
    QPointer<QThread> daemonStart;
};
