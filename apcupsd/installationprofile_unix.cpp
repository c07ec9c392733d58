#include "installationprofile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>

#include <unistd.h>

namespace {

// Where the package installs the configuration helper, relative to the
// program: bin/voltrine and libexec/voltrine/voltrine-apcupsd-conf. The build
// tree has the same layout.
QString configHelperPath()
{
    return QDir::cleanPath(QCoreApplication::applicationDirPath() +
                           QStringLiteral("/../libexec/voltrine/voltrine-apcupsd-conf"));
}

// True when systemd is the init (it keeps /run/systemd/system) and knows the unit.
bool systemdKnows(const InstallationProfile &profile)
{
    if (!QFileInfo(QStringLiteral("/run/systemd/system")).isDir())
        return false;
    QProcess systemctl;
    systemctl.start(profile.systemctlProgram,
                    {QStringLiteral("show"), QStringLiteral("--property=LoadState"),
                     QStringLiteral("--value"), profile.serviceUnit});
    if (!systemctl.waitForFinished(5000)) {
        systemctl.kill();
        systemctl.waitForFinished(1000);
        return false;
    }
    return systemctl.readAllStandardOutput().trimmed() == "loaded";
}

} // namespace

InstallationProfile InstallationProfile::native()
{
    InstallationProfile profile = linuxStandIn();
    profile.administrator = geteuid() == 0;
    if (systemdKnows(profile)) {
        profile.daemonControl = DaemonControl::Systemd;
        profile.configHelper = QStringList{QStringLiteral("pkexec"), configHelperPath()};
    } else {
        profile.daemonControl =
                profile.administrator ? DaemonControl::Direct : DaemonControl::Unmanaged;
    }
    return profile;
}
