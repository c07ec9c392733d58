#include "userregistry.h"

std::unique_ptr<QSettings> openUserRegistry(const QString &leaf)
{
    return std::make_unique<QSettings>(QStringLiteral("HKEY_CURRENT_USER\\Brindlecast\\") + leaf,
                                       QSettings::NativeFormat);
}

void setUserRegistryFolder(const QString &) { }
