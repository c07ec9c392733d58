#pragma once

#include "desktopnotifications.h"

#include <QHash>
#include <QIcon>
#include <QObject>
#include <QString>
#include <QSystemTrayIcon>

// Everything the window shows through the notification area goes through this
// object, so that what the user is told can be observed (a headless session has
// no tray to look at). A message goes to the desktop's notifications where
// there are any, and is the tray's balloon otherwise: one or the other, never both.
class TrayNotifier final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(TrayNotifier)

public:
    TrayNotifier(QSystemTrayIcon *trayIcon, QObject *parent);

    // Critical: what the user must not miss; the desktop keeps it until dismissed.
    enum class Urgency { Normal, Critical };
    void showMessage(const QString &title, const QString &message,
                     QSystemTrayIcon::MessageIcon icon, int millisecondsTimeoutHint,
                     Urgency urgency = Urgency::Normal);
    // resource is a path such as ":/icons/plug.ico".
    void setIcon(const QString &resource);
    // The icon that stands for resource from now on, already loaded elsewhere:
    // each size of an icon file is an image held in memory, up to 256x256.
    void keepIcon(const QString &resource, const QIcon &icon);
    QString iconResource() const { return currentIcon; }
    void setToolTip(const QString &text);
    QString toolTip() const;

signals:
    void messageShown(const QString &title, const QString &message,
                      QSystemTrayIcon::MessageIcon icon, int millisecondsTimeoutHint);
    void iconChanged(const QString &resource);
    void toolTipChanged(const QString &text);

private:
    QSystemTrayIcon *trayicon;
    QString currentIcon;
    QHash<QString, QIcon> keptIcons;
    DesktopNotifications desktop;
};

Q_DECLARE_METATYPE(QSystemTrayIcon::MessageIcon)
