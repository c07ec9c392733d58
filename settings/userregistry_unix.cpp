#include "userregistry.h"

#include <QMutex>
#include <QMutexLocker>

namespace {

QMutex folderMutex;
QString chosenFolder;

QString userRegistryFolder()
{
    QMutexLocker locker(&folderMutex);
    return chosenFolder;
}

} // namespace

void setUserRegistryFolder(const QString &folder)
{
    QMutexLocker locker(&folderMutex);
    chosenFolder = folder;
}

std::unique_ptr<QSettings> openUserRegistry(const QString &leaf)
{
    const QString folder = userRegistryFolder();
    if (!folder.isEmpty())
        return std::make_unique<QSettings>(folder + QStringLiteral("/Brindlecast/") + leaf +
                                                   QStringLiteral(".conf"),
                                           QSettings::IniFormat);
    // ~/.config/Brindlecast/<leaf>.conf on Linux.
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                       QStringLiteral("Brindlecast"), leaf);
}
