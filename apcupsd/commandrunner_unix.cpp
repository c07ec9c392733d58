#include "commandrunner.h"

#include <QProcess>

namespace {
// As long as setsid(1) may take to fork the program away and end.
constexpr int forkAwayMs = 10000;
} // namespace

bool startDetached(const QString &program, const QStringList &arguments)
{
    // QProcess::startDetached() of Qt 5 allocates memory between fork() and
    // exec(): a child forked while another thread holds the allocator's lock
    // (an ODBC connect runs meanwhile, on the writer's thread) can wait for
    // that lock for ever, and this thread with it. QProcess::start() does
    // nothing of the kind, and setsid(1) makes the program a process of a
    // session of its own that outlives this one.
    QProcess setsid;
    setsid.setStandardInputFile(QProcess::nullDevice());
    setsid.setStandardOutputFile(QProcess::nullDevice());
    setsid.setStandardErrorFile(QProcess::nullDevice());
    setsid.start(QStringLiteral("setsid"),
                 QStringList{QStringLiteral("--fork"), program} + arguments);
    return setsid.waitForFinished(forkAwayMs) && setsid.exitStatus() == QProcess::NormalExit &&
            setsid.exitCode() == 0;
}
