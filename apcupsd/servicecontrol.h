#pragma once

#include "apcupsdconf.h"
#include "installationprofile.h"

#include <QMutex>
#include <QRecursiveMutex>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>

class Logs;

// The local apcupsd and the programs around it, driven through outside
// commands as the installation profile names them: the process list, the
// start and stop of the daemon, its configuration file and its test tool.
//
// Every operation blocks its caller for the profile's waits and reports only
// to the trace log. Operations may be called from several threads; each start
// or stop sequence is serialised, so that a configuration save, a monitoring
// start and a self-test never start or stop the daemon under each other. The
// self-test's dialogue with the tool holds no lock. What the last operations
// left behind (configProblem() and the like) is read without waiting for a
// sequence under way.
class ServiceControl final
{
public:
    // Whether a start may ask the user for an administrator's password (Linux,
    // through systemd and polkit): only where the user asked for the start.
    enum class Prompt { Never, Allowed };

    ServiceControl(InstallationProfile profile, Logs *logs);
    ServiceControl(const ServiceControl &) = delete;
    ServiceControl &operator=(const ServiceControl &) = delete;

    const InstallationProfile &profile() const { return installation; }

    // The image names of the running processes, in the order listed.
    QStringList processList() const;

    // Ends the vendor services and the test tool when they run, starts the
    // daemon when it does not run, and restarts it when it ran beside one of them.
    void startServices(Prompt prompt = Prompt::Never);

    // Asks the daemon to end, whether or not it runs.
    void stopApcupsd();

    // Stop the daemon, replace apcupsd.conf, start the daemon again.
    // Linux: nis chooses the file's NISIP address; Windows always writes the
    // designed one.
    void writeUsbConfig(NisAccess nis = NisAccess::Keep);
    void writeComConfig(const QString &portName, NisAccess nis = NisAccess::Keep);

    // With the daemon stopped first, talks to apcupsd's test tool until the
    // UPS has tested itself; returns the result text ("Selftest Success", ...).
    // Every wait on the tool is bounded.
    QString selfTestDialogue();

    // The devices whose display names contain filter (all when it is empty).
    QStringList listDevices(const QString &filter) const;

    // Linux: the host that monitoring watches, asked at each start. The local
    // daemon is started at a monitoring start only while it is this machine.
    void setWatchedHost(std::function<QString()> host);
    // Linux: why the last configuration save left apcupsd.conf unchanged or
    // unused, in words for the user; empty after a save that took effect.
    QString configProblem() const;
    // Linux: true when the last configuration save left apcupsd.conf as it
    // was (refused, dismissed, failed); never on Windows.
    bool configLeftUnchanged() const;
    // Linux: true when this program cannot change apcupsd.conf at all: no
    // administrator rights, no helper to get them, and a file it cannot write.
    bool configNeedsAdministrator() const;
    // Linux: why the local apcupsd was left stopped at the last start, which
    // could not start it without asking for a password; empty when it runs
    // or was not to be started.
    QString daemonNotRunning() const;

    // From now on (abandon) or again (!abandon): every command under way or
    // to come is ended rather than waited for, and the sequence goes on
    // without it. For the end of the program.
    void setAbandoned(bool abandon) { abandoned = abandon; }

private:
    void writeConfig(UpsConnection connection, const QString &portName, NisAccess nis);
    bool saveConfig(UpsConnection connection, const QString &portName, NisAccess nis,
                    const QString &kind);
    void trace(const QString &message) const;
    // "\n" before every fifth name, the names joined by " | ", the marked ones
    // between "#####".
    static QString processSummary(const QStringList &processes,
                                  const std::function<bool(const QString &)> &marked);

    // The daemon under a service manager or started directly, on Linux
    // (servicecontrol_unix.cpp). Called with sequenceMutex held.
    void startManagedDaemon(Prompt prompt);
    // Looks for a running daemon in the process list first when listFirst.
    void startDaemonDirectly(bool listFirst);
    void stopManagedDaemon();
    void writeManagedConfig(UpsConnection connection, const QString &portName, NisAccess nis,
                            const QString &kind);
    bool runConfigHelper(UpsConnection connection, const QString &portName, NisAccess nis,
                         const QString &kind);
    bool watchesThisMachine() const;
    bool canWriteConfigDirectly() const;

    const InstallationProfile installation;
    Logs *const logs;
    mutable QRecursiveMutex sequenceMutex;
    std::function<QString()> watchedHost;
    // The daemon this object started directly, by pid; 0 for none.
    qint64 startedDaemon = 0;
    std::atomic<bool> abandoned{false};

    // The outcomes, under their own lock: a window reads them while a
    // sequence of minutes may hold sequenceMutex.
    void setConfigOutcome(bool saved, const QString &problem);
    void setDaemonNotRunning(const QString &reason);
    mutable QMutex outcomeMutex;
    QString lastConfigProblem;
    bool lastConfigSaved = false;
    QString daemonLeftStopped;
};
