#include "agent.h"

#include "apcupsdcontrol.h"
#include "comthrd.h"
#include "core.h"
#include "database.h"
#include "installationprofile.h"
#include "logs.h"
#include "registry.h"
#include "userregistry.h"

#include <cstdio>

Agent::Agent(QObject *parent)
    : QObject(parent)
{ }

void Agent::start()
{
    logs = Logs::instance();
    // For the system's journal, from the first record on.
    connect(
            logs, &Logs::LogDbProxy, this,
            [](const QString &stamped) {
                const QByteArray line = stamped.toUtf8() + '\n';
                std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
                std::fflush(stdout);
            },
            Qt::DirectConnection);
    // Without a window the refusal's text has nobody to be shown to.
    DataBase::setFailureNotice({});

    registry = Registry::instance();
    client = COMThrd::instance();
    InstallationProfile profile = InstallationProfile::native();
    // apcupsd is the system's business on a server: it is left as it is.
    profile.daemonControl = InstallationProfile::DaemonControl::Unmanaged;
    control = new ApcUpsdControl(profile, registry, logs, client, this);
    database = DataBase::instance();
    database->openConnection();
    core = new Core(client, control, database, registry, logs);
    core->start();
}

void Agent::reload()
{
    logs->trace(QStringLiteral("Reloading configuration"));
    registry->reload();
    core->setMachineNumber(openUserRegistry(QStringLiteral("Administration"))
                                   ->value(QStringLiteral("MachineNumber"))
                                   .toString());
    database->openConnection();
}

void Agent::stop()
{
    if (core)
        core->stop();
}
