#include "traynotifier.h"

#include <QIcon>

TrayNotifier::TrayNotifier(QSystemTrayIcon *trayIcon, QObject *parent)
    : QObject(parent)
    , trayicon(trayIcon)
{ }

void TrayNotifier::showMessage(const QString &title, const QString &message,
                               QSystemTrayIcon::MessageIcon icon, int millisecondsTimeoutHint)
{
    trayicon->showMessage(title, message, icon, millisecondsTimeoutHint);
    emit messageShown(title, message, icon, millisecondsTimeoutHint);
}

void TrayNotifier::setIcon(const QString &resource)
{
    currentIcon = resource;
    trayicon->setIcon(QIcon(resource));
    emit iconChanged(resource);
}
