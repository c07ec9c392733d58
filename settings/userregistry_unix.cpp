#include "userregistry.h"

std::unique_ptr<QSettings> openUserRegistry(const QString &leaf)
{
    // ~/.config/Brindlecast/<leaf>.conf on Linux.
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                       QStringLiteral("Brindlecast"), leaf);
}
