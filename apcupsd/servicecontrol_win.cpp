// On Windows the daemon is always driven by the process commands, as
// designed; the Linux administration of servicecontrol_unix.cpp has no part.
#include "servicecontrol.h"

void ServiceControl::setWatchedHost(std::function<QString()> host)
{
    watchedHost = std::move(host);
}

QString ServiceControl::configProblem() const
{
    return QString();
}

bool ServiceControl::configLeftUnchanged() const
{
    return false;
}

bool ServiceControl::configNeedsAdministrator() const
{
    return false;
}

QString ServiceControl::daemonNotRunning() const
{
    return QString();
}

void ServiceControl::startManagedDaemon(Prompt) { }

void ServiceControl::startDaemonDirectly(bool) { }

void ServiceControl::stopManagedDaemon() { }

void ServiceControl::writeManagedConfig(UpsConnection, const QString &, NisAccess, const QString &)
{ }

bool ServiceControl::runConfigHelper(UpsConnection, const QString &, NisAccess, const QString &)
{
    return false;
}

bool ServiceControl::watchesThisMachine() const
{
    return true;
}

bool ServiceControl::canWriteConfigDirectly() const
{
    return true;
}
