#pragma once

#include <QList>
#include <QObject>
#include <QString>

class UpsSimulator;

// A timed list of simulator commands, one per line:
//
//     # a power failure of twenty seconds
//     5    powerfail
//     +20  powerback
//
// The time is in seconds from the start of the scenario, or with "+" from the
// step before; the rest of the line is a command as typed on standard input.
class Scenario final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(Scenario)

public:
    struct Step
    {
        qint64 atMs = 0;
        QString command;
        int lineNumber = 0;
    };

    explicit Scenario(UpsSimulator *simulator, QObject *parent = nullptr);

    // Reads a scenario; on a malformed line returns false with the line named.
    bool parse(const QString &text, QString *error);
    bool load(const QString &fileName, QString *error);
    QList<Step> steps() const { return plan; }

    // Runs every step at its time; commands the simulator rejects are reported
    // through stepFailed().
    void start();

signals:
    void stepRun(const QString &command);
    void stepFailed(int lineNumber, const QString &message);
    void finished();

private:
    UpsSimulator *sim;
    QList<Step> plan;
    int remaining = 0;
};
