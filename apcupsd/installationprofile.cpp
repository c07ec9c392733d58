#include "installationprofile.h"

namespace {

// "\" becomes "/", then each "//" becomes "/" in one left-to-right pass, so a
// root written with backslashes or a trailing slash gives the same path.
QString cleanPath(QString path)
{
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    path.replace(QStringLiteral("//"), QStringLiteral("/"));
    return path;
}

} // namespace

QString InstallationProfile::daemonPath() const
{
    return cleanPath(apcupsdRoot + daemonRelativePath);
}

QString InstallationProfile::testToolPath() const
{
    return cleanPath(apcupsdRoot + testToolRelativePath);
}

InstallationProfile InstallationProfile::windows()
{
    InstallationProfile profile;
    profile.apcupsdRoot = QStringLiteral("C:/apcupsd");
    profile.daemonRelativePath = QStringLiteral("/bin/apcupsd.exe");
    profile.testToolRelativePath = QStringLiteral("/bin/apctest.exe");
    profile.processListCommand = QStringLiteral("tasklist");
    profile.processListFormat = ProcessListFormat::Tasklist;
    profile.daemonImage = QStringLiteral("apcupsd.exe");
    profile.testToolImage = QStringLiteral("apctest.exe");
    profile.dataServiceImage = QStringLiteral("dataserv.exe");
    profile.dataServiceName = QStringLiteral("APC Data Service");
    profile.upsServiceImage = QStringLiteral("mainserv.exe");
    profile.upsServiceName = QStringLiteral("APC UPS Service");
    // Without /F: the process is asked to end, not killed.
    profile.endProcessCommand = QStringLiteral("taskkill /IM %1");
    profile.stopServiceCommand = QStringLiteral("net stop \"%1\"");
    profile.configFile = QStringLiteral("C://apcupsd//etc//apcupsd//apcupsd.conf");
    profile.configLineEnd = QStringLiteral("\r\n");
    profile.scriptDir = QStringLiteral("c:/apcupsd/etc/apcupsd");
    profile.powerFailDir = QStringLiteral("c:/apcupsd/etc/apcupsd");
    profile.noLoginDir = QStringLiteral("c:/apcupsd/etc/apcupsd");
    profile.eventsFile = QStringLiteral("c:/apcupsd/etc/apcupsd/apcupsd.events");
    profile.statusFile = QStringLiteral("c:/apcupsd/etc/apcupsd/apcupsd.status");
    profile.deviceFilter = QStringLiteral("(COM");
    return profile;
}

InstallationProfile InstallationProfile::linuxStandIn()
{
    InstallationProfile profile;
    profile.apcupsdRoot = QStringLiteral("/");
    profile.daemonRelativePath = QStringLiteral("/sbin/apcupsd");
    profile.testToolRelativePath = QStringLiteral("/sbin/apctest");
    profile.processListCommand = QStringLiteral("ps -e -o comm=");
    profile.processListFormat = ProcessListFormat::ImageNames;
    profile.daemonImage = QStringLiteral("apcupsd");
    profile.testToolImage = QStringLiteral("apctest");
    // No vendor service runs on Linux, and no process is ever ended by its
    // name: the daemon goes through systemd, or only the daemon the program
    // started itself is stopped (see DaemonControl).
    profile.daemonControl = DaemonControl::Direct;
    profile.systemctlProgram = QStringLiteral("systemctl");
    profile.serviceUnit = QStringLiteral("apcupsd.service");
    profile.daemonPidFile = QStringLiteral("/var/run/apcupsd.pid");
    profile.administrator = true;
    // Without it apcupsd takes the file for an old one and warns at every start.
    profile.configHeader = QStringLiteral("## apcupsd.conf v1.1 ##");
    profile.configBackupSuffix = QStringLiteral(".bak");
    profile.configOriginalSuffix = QStringLiteral(".orig");
    profile.configFile = QStringLiteral("/etc/apcupsd/apcupsd.conf");
    profile.configLineEnd = QStringLiteral("\n");
    profile.scriptDir = QStringLiteral("/etc/apcupsd");
    profile.powerFailDir = QStringLiteral("/etc/apcupsd");
    profile.noLoginDir = QStringLiteral("/etc");
    profile.eventsFile = QStringLiteral("/var/log/apcupsd.events");
    profile.statusFile = QStringLiteral("/var/log/apcupsd.status");
    profile.serialDevicePrefix = QStringLiteral("/dev/");
    // Debian's own file opens the status server to this machine only.
    profile.nisAddress = QStringLiteral("127.0.0.1");
    profile.keepsNisAddress = true;
    profile.deviceFilter = QStringLiteral("(tty");
    return profile;
}
