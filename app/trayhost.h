#pragma once

#include <QObject>

// Whether the desktop has a notification area (a system tray) to hold the
// program's icon. Stock GNOME has none, and on Linux a tray host may start or
// end while the program runs: the window follows what this says.
class TrayHost final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(TrayHost)

public:
    enum class Source {
        // What the desktop session says, followed as it changes.
        Session,
        // Only what setAvailable() says: for a window whose tray is known.
        Fixed,
    };

    explicit TrayHost(Source source, bool available = true, QObject *parent = nullptr);

    bool isAvailable() const { return available; }
    void setAvailable(bool available);

signals:
    void availabilityChanged(bool available);

private slots:
    void recheck();

private:
    // Connects recheck() to the session's news of tray hosts (per platform).
    void followSession();

    bool available;
};
