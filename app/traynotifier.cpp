#include "traynotifier.h"

#include "desktopintegration.h"

TrayNotifier::TrayNotifier(QSystemTrayIcon *trayIcon, QObject *parent)
    : QObject(parent)
    , trayicon(trayIcon)
{ }

void TrayNotifier::showMessage(const QString &title, const QString &message,
                               QSystemTrayIcon::MessageIcon icon, int millisecondsTimeoutHint,
                               Urgency urgency)
{
    // Qt's tray sends its balloon to the same service where the tray is a
    // D-Bus one (KDE), so it is not asked as well: that would be a second popup.
    const auto balloon = [=] {
        trayicon->showMessage(title, message, icon, millisecondsTimeoutHint);
    };
    if (!desktop.send(title, message, urgency == Urgency::Critical, millisecondsTimeoutHint,
                      balloon))
        balloon();
    emit messageShown(title, message, icon, millisecondsTimeoutHint);
}

void TrayNotifier::setIcon(const QString &resource)
{
    currentIcon = resource;
    const auto kept = keptIcons.constFind(resource);
    trayicon->setIcon(kept != keptIcons.cend() ? *kept : DesktopIntegration::formIcon(resource));
    emit iconChanged(resource);
}

void TrayNotifier::keepIcon(const QString &resource, const QIcon &icon)
{
    keptIcons.insert(resource, icon);
}

void TrayNotifier::setToolTip(const QString &text)
{
    if (text == trayicon->toolTip())
        return;
    trayicon->setToolTip(text);
    emit toolTipChanged(text);
}

QString TrayNotifier::toolTip() const
{
    return trayicon->toolTip();
}
