#include "trayhost.h"

#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QGuiApplication>
#include <qpa/qplatformnativeinterface.h>

namespace {
const auto watcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
} // namespace

void TrayHost::followSession()
{
    // X11 trays (XEmbed): the X platform tells when the tray selection
    // changes owner, the signal Qt's own tray icon follows.
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        connect(QGuiApplication::platformNativeInterface(),
                SIGNAL(systemTrayWindowChanged(QScreen *)), this, SLOT(recheck()));
    }
    // D-Bus trays (KDE, GNOME's AppIndicator extension): the watcher comes and
    // goes, and hosts register with it.
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    auto *watcher = new QDBusServiceWatcher(watcherService, bus,
                                            QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this, &TrayHost::recheck);
    for (const char *signal : {"StatusNotifierHostRegistered", "StatusNotifierHostUnregistered"})
        bus.connect(watcherService, QStringLiteral("/StatusNotifierWatcher"), watcherService,
                    QLatin1String(signal), this, SLOT(recheck()));
}
