#include "trayhost.h"

#include <QSystemTrayIcon>

TrayHost::TrayHost(Source source, bool available, QObject *parent)
    : QObject(parent)
    , available(available)
{
    if (source == Source::Session) {
        this->available = QSystemTrayIcon::isSystemTrayAvailable();
        followSession();
    }
}

void TrayHost::setAvailable(bool nowAvailable)
{
    if (nowAvailable == available)
        return;
    available = nowAvailable;
    emit availabilityChanged(available);
}

void TrayHost::recheck()
{
    setAvailable(QSystemTrayIcon::isSystemTrayAvailable());
}
