#include "scenario.h"

#include "upssimulator.h"

#include <QFile>
#include <QTimer>

Scenario::Scenario(UpsSimulator *simulator, QObject *parent)
    : QObject(parent)
    , sim(simulator)
{ }

bool Scenario::parse(const QString &text, QString *error)
{
    QList<Step> steps;
    qint64 previousMs = 0;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = lines.at(i).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const int blank = line.indexOf(QLatin1Char(' '));
        const QString time = line.left(blank < 0 ? line.size() : blank);
        const QString command = blank < 0 ? QString() : line.mid(blank + 1).trimmed();
        const bool relative = time.startsWith(QLatin1Char('+'));
        bool ok = false;
        const double seconds = (relative ? time.mid(1) : time).toDouble(&ok);
        if (!ok || seconds < 0 || command.isEmpty()) {
            if (error)
                *error = QStringLiteral(
                                 "line %1: expected \"SECONDS COMMAND\" or \"+SECONDS COMMAND\"")
                                 .arg(i + 1);
            return false;
        }
        const qint64 atMs = qint64(seconds * 1000) + (relative ? previousMs : 0);
        steps.append({atMs, command, i + 1});
        previousMs = atMs;
    }
    plan = steps;
    return true;
}

bool Scenario::load(const QString &fileName, QString *error)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        if (error)
            *error = fileName + QStringLiteral(": ") + file.errorString();
        return false;
    }
    return parse(QString::fromUtf8(file.readAll()), error);
}

void Scenario::start()
{
    remaining = plan.size();
    if (remaining == 0) {
        emit finished();
        return;
    }
    for (const Step &step : qAsConst(plan)) {
        QTimer::singleShot(step.atMs, this, [this, step] {
            QString message;
            if (sim->execute(step.command, &message))
                emit stepRun(step.command);
            else
                emit stepFailed(step.lineNumber, message);
            if (--remaining == 0)
                emit finished();
        });
    }
}
