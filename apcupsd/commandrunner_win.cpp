#include "commandrunner.h"

#include <QProcess>

bool startDetached(const QString &program, const QStringList &arguments)
{
    return QProcess::startDetached(program, arguments);
}
