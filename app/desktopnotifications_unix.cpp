#include "desktopnotifications.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

namespace {

const auto serviceName = QStringLiteral("org.freedesktop.Notifications");
const auto servicePath = QStringLiteral("/org/freedesktop/Notifications");
const auto busName = QStringLiteral("org.freedesktop.DBus");
const auto busPath = QStringLiteral("/org/freedesktop/DBus");
// The menu entry's name (DesktopIntegration::nameAfterMenuEntry): the desktop
// finds the program's name, icon and notification settings through it.
const auto desktopEntry = QStringLiteral(VOLTRINE_APP_ID);

enum class Known { Unknown, Yes, No };

} // namespace

struct DesktopNotifications::Service
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    // Parent of the calls awaiting an answer: none is answered once it has gone.
    QObject calls;
    QDBusServiceWatcher watcher;
    // Whether the name has an owner, and whether the bus starts one on demand.
    Known running = Known::Unknown;
    Known startable = Known::Unknown;

    Service()
        : watcher(serviceName, bus, QDBusServiceWatcher::WatchForOwnerChange)
    {
        if (!bus.isConnected()) {
            running = startable = Known::No;
            return;
        }
        // The watcher's match rule goes to the bus before these questions, so
        // that a change after an answer is also seen after it.
        QObject::connect(&watcher, &QDBusServiceWatcher::serviceOwnerChanged, &calls,
                         [this](const QString &, const QString &, const QString &newOwner) {
                             running = newOwner.isEmpty() ? Known::No : Known::Yes;
                             // A service that went may have been removed too.
                             if (running == Known::No)
                                 askStartable();
                         });
        ask(QStringLiteral("NameHasOwner"), {serviceName}, [this](const QDBusPendingCall &call) {
            const QDBusPendingReply<bool> reply = call;
            if (running == Known::Unknown)
                running = reply.isValid() && reply.value() ? Known::Yes : Known::No;
        });
        askStartable();
    }

    void askStartable()
    {
        ask(QStringLiteral("ListActivatableNames"), {}, [this](const QDBusPendingCall &call) {
            const QDBusPendingReply<QStringList> reply = call;
            startable =
                    reply.isValid() && reply.value().contains(serviceName) ? Known::Yes : Known::No;
        });
    }

    void ask(const QString &method, const QVariantList &arguments,
             const std::function<void(const QDBusPendingCall &)> &answered)
    {
        QDBusMessage message = QDBusMessage::createMethodCall(busName, busPath, busName, method);
        message.setArguments(arguments);
        await(message, answered);
    }

    void await(const QDBusMessage &message,
               const std::function<void(const QDBusPendingCall &)> &answered)
    {
        auto *pending = new QDBusPendingCallWatcher(bus.asyncCall(message), &calls);
        QObject::connect(pending, &QDBusPendingCallWatcher::finished, &calls, [pending, answered] {
            answered(*pending);
            pending->deleteLater();
        });
    }

    bool available() const
    {
        if (running == Known::Yes || startable == Known::Yes)
            return true;
        // Before the bus has answered, a message is offered all the same: with
        // no service there, it comes back refused.
        return running == Known::Unknown || startable == Known::Unknown;
    }
};

DesktopNotifications::DesktopNotifications()
    : service(std::make_unique<Service>())
{ }

DesktopNotifications::~DesktopNotifications() = default;

bool DesktopNotifications::send(const QString &title, const QString &text, bool critical,
                                int millisecondsTimeoutHint, const std::function<void()> &refused)
{
    if (!service->available())
        return false;
    QDBusMessage notify = QDBusMessage::createMethodCall(serviceName, servicePath, serviceName,
                                                         QStringLiteral("Notify"));
    const QVariantMap hints{
            {QStringLiteral("urgency"), QVariant::fromValue(uchar(critical ? 2 : 1))},
            {QStringLiteral("desktop-entry"), desktopEntry}};
    // A critical one never expires: most desktops keep it anyway, but some
    // honour a time limit given with it.
    notify << QStringLiteral("Voltrine") << uint(0) << QStringLiteral("voltrine") << title << text
           << QStringList() << hints << qint32(critical ? 0 : millisecondsTimeoutHint);
    service->await(notify, [refused](const QDBusPendingCall &call) {
        if (call.isError())
            refused();
    });
    return true;
}
