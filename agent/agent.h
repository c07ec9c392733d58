#pragma once

#include <QObject>
#include <QString>

class ApcUpsdControl;
class COMThrd;
class Core;
class DataBase;
class Logs;
class Registry;

// The monitoring of the window, without the window: polls apcupsd, keeps the
// journal, sends the rows and writes the trace, all in the working directory
// (its data folder). It never administers apcupsd and never asks anything:
// what the window would show in a box goes to the trace.
class Agent final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(Agent)

public:
    explicit Agent(QObject *parent = nullptr);

    // Loads confdata, opens the connection and starts monitoring.
    void start();
    // Takes up confdata again: its database settings (the connection is
    // opened again with them) and the machine number. The UPS host is read
    // at the start only.
    void reload();
    // Asks monitoring to end; the writer ends with the application.
    void stop();

private:
    Logs *logs = nullptr;
    Registry *registry = nullptr;
    COMThrd *client = nullptr;
    ApcUpsdControl *control = nullptr;
    DataBase *database = nullptr;
    Core *core = nullptr;
};
