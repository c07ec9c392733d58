#pragma once

#include "installationprofile.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// Outside commands as the service control runs them. A command line is split
// at blanks; a part enclosed in double quotes is one argument without them.

// Runs commandLine and waits as told. Whether it started, how it ended and
// what it printed are not examined: the sequences go on whatever happens, and
// a command that hangs costs no more than its waits.
void runCommand(const QString &commandLine, const CommandWaits &waits);

// Runs commandLine (standard error merged into standard output) and returns
// all it printed: up to waitMs for it to start, then for as long as each wait
// of up to waitMs brings more output, then up to waitMs for it to end.
QByteArray commandOutput(const QString &commandLine, int waitMs);

// The image names in the output of the process-list command, in output order,
// duplicates kept.
QStringList parseProcessList(const QByteArray &output,
                             InstallationProfile::ProcessListFormat format);

// Sleeps the calling thread (nothing for zero).
void sleepMs(int msecs);

// Starts program in the background without waiting for it or keeping a handle.
// Returns whether it could be started.
bool startDetached(const QString &program, const QStringList &arguments);
