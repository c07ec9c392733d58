#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// Debian's apcupsd, started for one test with everything under a temporary
// directory: its configuration, events and status files, lock and flag files,
// and a stub apccontrol that only records its arguments. The system's
// apccontrol is never used: on a low battery or a lost master the daemon runs
// "apccontrol doshutdown", and the real script shuts the machine down.
class ApcupsdFixture final
{
    Q_DISABLE_COPY(ApcupsdFixture)

public:
    struct Options
    {
        // The daemon runs as a network slave of the master at 127.0.0.1:masterPort.
        // (Debian's built-in "test" UPS needs no master, but keeps a core busy.)
        quint16 masterPort = 0;
        // Written to the events file before the daemon starts.
        QStringList eventLines;
        // Points EVENTSFILE into a directory that does not exist.
        bool withoutEventsFile = false;
    };

    ApcupsdFixture();
    ~ApcupsdFixture();

    // The daemon's path, or an empty string when it is not installed.
    static QString executable();

    // Starts the daemon and waits until its server answers "status" with a
    // whole reply. On failure returns false with the reason and the daemon's output.
    bool start(const Options &options, QString *error);
    // Ends the daemon by its process id.
    void stop();

    quint16 nisPort() const { return port; }
    QString directory() const { return dir.path(); }
    // One entry per call of the stub apccontrol: its arguments joined by blanks.
    QStringList apccontrolCalls() const;

private:
    QTemporaryDir dir;
    QProcess daemon;
    quint16 port = 0;
};

// A port on 127.0.0.1 that was free a moment ago.
quint16 freeLoopbackPort();
