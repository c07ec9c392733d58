#pragma once

#include <QObject>
#include <QString>
#include <QSystemTrayIcon>

// Everything the window shows through the notification area goes through this
// object, so that what the user is told can be observed (a headless session has
// no tray to look at).
class TrayNotifier final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(TrayNotifier)

public:
    TrayNotifier(QSystemTrayIcon *trayIcon, QObject *parent);

    void showMessage(const QString &title, const QString &message,
                     QSystemTrayIcon::MessageIcon icon, int millisecondsTimeoutHint);
    // resource is a path such as ":/icons/plug.ico".
    void setIcon(const QString &resource);
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
};

Q_DECLARE_METATYPE(QSystemTrayIcon::MessageIcon)
