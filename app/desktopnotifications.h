#pragma once

#include <QString>

#include <functional>
#include <memory>

// The desktop's own notifications, where it has a service for them. Linux:
// org.freedesktop.Notifications on the session bus, running or started by the
// bus on demand, followed as it comes and goes. Windows has none here: the
// tray's balloon stays, as designed.
class DesktopNotifications final
{
public:
    DesktopNotifications();
    ~DesktopNotifications();
    DesktopNotifications(const DesktopNotifications &) = delete;
    DesktopNotifications &operator=(const DesktopNotifications &) = delete;

    // Sends title and text to the service, critical ones to stay until
    // dismissed, and returns true; returns false, having sent nothing, when
    // there is no service. Never waits: refused is called later, unless this
    // object has gone, should the service refuse it (or fail to start).
    bool send(const QString &title, const QString &text, bool critical, int millisecondsTimeoutHint,
              const std::function<void()> &refused);

private:
    struct Service;
    std::unique_ptr<Service> service;
};
