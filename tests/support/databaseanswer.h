#pragma once

#include "database.h"

#include <QEventLoop>
#include <QTimer>

// Opens the database connection and runs the event loop until the writer's
// answer has arrived, as the window receives it: true when it came in time.
inline bool openAndAwaitAnswer(DataBase &database, int timeoutMs = 60000)
{
    QEventLoop loop;
    bool answered = false;
    const QMetaObject::Connection connection =
            QObject::connect(&database, &DataBase::connectionAnswered, &loop, [&] {
                answered = true;
                loop.quit();
            });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    database.openConnection();
    loop.exec();
    QObject::disconnect(connection);
    return answered;
}
