#include "apcupsdcontrol.h"

#include "commandrunner.h"
#include "comthrd.h"
#include "logs.h"
#include "registry.h"

#include <QDebug>
#include <QMutex>
#include <QMutexLocker>

#include <exception>

ApcUpsdControl *ApcUpsdControl::instance()
{
    static std::atomic<ApcUpsdControl *> theInstance{nullptr};
    static QMutex creationMutex;
    ApcUpsdControl *control = theInstance.load(std::memory_order_acquire);
    if (!control) {
        QMutexLocker locker(&creationMutex);
        control = theInstance.load(std::memory_order_relaxed);
        if (!control) {
            // The log first, then the network client, then the settings.
            Logs *logs = Logs::instance();
            COMThrd *client = COMThrd::instance();
            Registry *registry = Registry::instance();
            control = new ApcUpsdControl(InstallationProfile::native(), registry, logs, client);
            theInstance.store(control, std::memory_order_release);
        }
    }
    return control;
}

ApcUpsdControl::ApcUpsdControl(InstallationProfile profile, Registry *registry, Logs *logs,
                               COMThrd *client, QObject *parent)
    : QThread(parent)
    , logs(logs)
    , client(client)
    , registry(registry)
    , service(std::move(profile), logs)
{
    // Linux: monitoring manages the local daemon only while it watches this machine.
    if (client)
        service.setWatchedHost([client] { return client->host(); });
    if (registry->getKey(QStringLiteral("upscontype")).isEmpty())
        registry->setKey(QStringLiteral("upscontype"), QStringLiteral("USB"));
    if (registry->getKey(QStringLiteral("uspcomport")).isEmpty())
        registry->setKey(QStringLiteral("uspcomport"), QStringLiteral("NA"));
    logs->trace(QStringLiteral("Acpupsd binary control ready"));
}

ApcUpsdControl::~ApcUpsdControl()
{
    // Only tests destroy a controller; a self-test in progress is finished first.
    abandonAdministration();
    wait();
}

void ApcUpsdControl::runAside(QPointer<QThread> &slot, std::function<void()> work,
                              void (ApcUpsdControl::*announce)())
{
    QThread *thread = QThread::create(std::move(work));
    thread->setParent(this);
    slot = thread;
    connect(thread, &QThread::finished, this, [this, thread, &slot, announce] {
        slot.clear();
        thread->deleteLater();
        emit(this->*announce)();
    });
    thread->start();
}

bool ApcUpsdControl::startConfigSave(UpsConnection connection, const QString &portName,
                                     NisAccess nis)
{
    if (configSave)
        return false;
    runAside(
            configSave,
            [this, connection, portName, nis] {
                if (connection == UpsConnection::Usb)
                    service.writeUsbConfig(nis);
                else
                    service.writeComConfig(portName, nis);
            },
            &ApcUpsdControl::ConfigSaveFinished);
    return true;
}

bool ApcUpsdControl::startDaemonOnRequest()
{
    if (daemonStart)
        return false;
    runAside(
            daemonStart, [this] { service.startServices(ServiceControl::Prompt::Allowed); },
            &ApcUpsdControl::DaemonStateChanged);
    return true;
}

void ApcUpsdControl::abandonAdministration()
{
    if (!configSave && !daemonStart)
        return;
    service.setAbandoned(true);
    for (QThread *thread : {configSave.data(), daemonStart.data()}) {
        if (thread)
            thread->wait();
    }
    service.setAbandoned(false);
}

void ApcUpsdControl::requestSelfTest()
{
    selfTestRequested = true;
    start(QThread::InheritPriority);
}

void ApcUpsdControl::run()
{
    const QString result = selfTest(selfTestRequested);
    if (!result.isEmpty())
        emit SelfTestFinished();
}

QString ApcUpsdControl::selfTest(bool requested)
{
    QString result;
    if (requested) {
        try {
            result = selfTestDialogue();
        } catch (const std::exception &e) {
            // The tool may still run; the start of the services below ends it.
            const QString text = QString::fromLocal8Bit(e.what());
            result = QStringLiteral("Exception. ") + text;
            qDebug().noquote() << QStringLiteral("Selftest exception ") + text;
        }
        logs->trace(QStringLiteral("Selftest END: ") + result);
        selfTestRequested = false;
    }
    // The user asked for the test: the start after it may ask for a password.
    service.startServices(ServiceControl::Prompt::Allowed);
    emit DaemonStateChanged();
    sleepMs(service.profile().waits.afterRestoreMs);
    client->start(QThread::InheritPriority);
    return result;
}

QString ApcUpsdControl::selfTestDialogue()
{
    emit SelfTestStarted();
    logs->trace(QStringLiteral("Prepare Apctest"));
    // The client must not ask apcupsd anything while the tool holds the UPS.
    // Asked to stop this way it sends nothing more from now on, even when its
    // thread takes longer to end than it is waited for. It is never
    // terminated by force, which could leave its data lock held.
    client->stopAndWait(service.profile().waits.clientStopMs);
    return service.selfTestDialogue();
}
