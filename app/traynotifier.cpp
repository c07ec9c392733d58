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
