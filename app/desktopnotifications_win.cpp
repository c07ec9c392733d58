#include "desktopnotifications.h"

struct DesktopNotifications::Service
{
};

DesktopNotifications::DesktopNotifications() = default;

DesktopNotifications::~DesktopNotifications() = default;

bool DesktopNotifications::send(const QString &, const QString &, bool, int,
                                const std::function<void()> &)
{
    return false;
}
