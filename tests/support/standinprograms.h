#pragma once

#include "installationprofile.h"
#include "orphanreaper.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

// The bytes of a file; empty when it cannot be read.
inline QByteArray fileContent(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline void writeFileContent(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(content), qint64(content.size()));
}

// Writes an executable shell script.
inline void writeExecutable(const QString &path, const QByteArray &body)
{
    writeFileContent(path, "#!/bin/sh\n" + body);
    QVERIFY(QFile::setPermissions(
            path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
}

// A temporary directory that is the working directory for its lifetime, with
// a bin folder put first on PATH. Stand-in programs written there record each
// of their runs as one line of "commands.log": the program's label followed
// by "|" and each argument, so "net stop \"APC Data Service\"" is recorded
// as net|stop|APC Data Service.
class StandInPrograms
{
public:
    StandInPrograms()
    {
        QVERIFY(dir.isValid());
        previousDir = QDir::currentPath();
        previousPath = qgetenv("PATH");
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("bin")));
        qputenv("PATH", QFile::encodeName(binDir()) + ':' + previousPath);
        QVERIFY(QDir::setCurrent(dir.path()));
    }
    ~StandInPrograms()
    {
        collectStandIns();
        QDir::setCurrent(previousDir);
        qputenv("PATH", previousPath);
    }
    StandInPrograms(const StandInPrograms &) = delete;
    StandInPrograms &operator=(const StandInPrograms &) = delete;

    QString path() const { return dir.path(); }
    QString filePath(const QString &name) const { return dir.filePath(name); }
    QString binDir() const { return dir.filePath(QStringLiteral("bin")); }
    QString logPath() const { return dir.filePath(QStringLiteral("commands.log")); }

    // Writes an executable shell script at path (relative to the directory).
    void writeScript(const QString &relativePath, const QByteArray &body) const
    {
        const QString file = dir.filePath(relativePath);
        QVERIFY(QDir().mkpath(QFileInfo(file).absolutePath()));
        writeExecutable(file, body);
    }

    // A program that only records its run. label is a shell word: a fixed
    // name, or "$0" for the path the program was started by.
    void addRecorder(const QString &relativePath, const QByteArray &label,
                     const QByteArray &extra = QByteArray())
    {
        writeScript(relativePath, recordLine(label) + extra);
        names.append(QFileInfo(relativePath).fileName());
    }

    // systemctl as it answers for one unit: the file "state" holds "active"
    // or not; a file "refuse" makes it refuse every change ("Access
    // denied"), a file "password" every change asked for with
    // --no-ask-password (polkit would want a password).
    void addSystemctl()
    {
        const auto file = [this](const char *name) {
            return QFile::encodeName(filePath(QLatin1String(name)));
        };
        addRecorder(QStringLiteral("bin/systemctl"), "systemctl",
                    "state=$(cat '" + file("state") +
                            "' 2>/dev/null || echo inactive)\n"
                            "ask=yes\n"
                            "[ \"$1\" = --no-ask-password ] && { ask=no; shift; }\n"
                            "case $1 in\n"
                            "is-active) echo $state; [ $state = active ] || exit 3 ;;\n"
                            "*) if [ -e '" +
                            file("refuse") +
                            "' ]; then\n"
                            "     echo \"Failed to $1 $2: Access denied\" >&2; exit 1\n"
                            "   fi\n"
                            "   if [ $ask = no ] && [ -e '" +
                            file("password") +
                            "' ]; then\n"
                            "     echo \"Failed to $1 $2: Interactive authentication "
                            "required.\" >&2; exit 1\n"
                            "   fi\n"
                            "   case $1 in\n"
                            "   stop) echo inactive > '" +
                            file("state") +
                            "' ;;\n"
                            "   try-restart) ;;\n"
                            "   *) echo active > '" +
                            file("state") +
                            "' ;;\n"
                            "   esac ;;\n"
                            "esac\n");
    }

    // pkexec as it answers once the user has authorised the helper, which it
    // runs on target instead of apcupsd.conf; a file "dismiss" makes it
    // answer as for a dismissed dialog, "noagent" as where no authentication
    // agent runs. beforeHelper runs first (the user's time to answer).
    void addPkexec(const QString &target, const QByteArray &beforeHelper = QByteArray())
    {
        addRecorder(QStringLiteral("bin/pkexec"), "pkexec",
                    "[ -e '" + QFile::encodeName(filePath(QStringLiteral("dismiss"))) +
                            "' ] && exit 126\n[ -e '" +
                            QFile::encodeName(filePath(QStringLiteral("noagent"))) +
                            "' ] && { echo 'Error getting authority: Error initializing "
                            "authority: Could not connect: No such file or directory' >&2; "
                            "exit 127; }\n" +
                            beforeHelper + "helper=$1\nshift\nexec \"$helper\" --config '" +
                            QFile::encodeName(target) + "' \"$@\"\n");
    }

    // The Windows tools: tasklist prints tasklistOutput, taskkill and net only record.
    void addWindowsTools()
    {
        addRecorder(QStringLiteral("bin/tasklist"), "tasklist",
                    "cat '" + QFile::encodeName(filePath(QStringLiteral("tasklist.out"))) + "'\n");
        addRecorder(QStringLiteral("bin/taskkill"), "taskkill");
        addRecorder(QStringLiteral("bin/net"), "net");
        setTasklistOutput(QByteArray());
    }

    void setTasklistOutput(const QByteArray &output) const
    {
        writeFileContent(filePath(QStringLiteral("tasklist.out")), output);
    }

    // The recorded runs, oldest first.
    QStringList commands() const
    {
        QStringList lines = QString::fromUtf8(fileContent(logPath())).split(QLatin1Char('\n'));
        if (!lines.isEmpty() && lines.last().isEmpty())
            lines.removeLast();
        return lines;
    }

    void clearCommands() const { QFile::remove(logPath()); }

    QByteArray recordLine(const QByteArray &label) const
    {
        return "{ printf '%s' " + label +
                "; for a in \"$@\"; do printf '|%s' \"$a\"; done; "
                "echo; } >> '" +
                QFile::encodeName(logPath()) + "'\n";
    }

private:
    // Stand-ins started detached are adopted by the test process; collect
    // them once they have ended.
    void collectStandIns() const
    {
        QElapsedTimer timer;
        timer.start();
        const qint64 self = QCoreApplication::applicationPid();
        for (;;) {
            OrphanReaper::reap(names);
            bool left = false;
            for (const auto &info : OrphanReaper::processes())
                left = left || (info.parent == self && names.contains(info.name));
            if (!left || timer.hasExpired(10000))
                return;
            QThread::msleep(20);
        }
    }

    OrphanReaper reaper;
    QStringList names;
    QTemporaryDir dir;
    QString previousDir;
    QByteArray previousPath;
};

// Waits for tests: no fixed sleeps, and bounded waits long enough for a
// loaded machine (they end as soon as the awaited thing happens).
inline ControlWaits testWaits()
{
    ControlWaits waits;
    const CommandWaits command{20000, 20000, 0, 0};
    waits.stopDaemon = command;
    waits.stopService = command;
    waits.endTestTool = command;
    waits.restartEndDaemon = command;
    waits.processListMs = 20000;
    waits.afterStartMs = 0;
    waits.afterRestartMs = 0;
    waits.clientStopMs = 20000;
    waits.toolStartMs = 20000;
    waits.menuIdleMs = 2000;
    waits.answerIdleMs = 2000;
    waits.reportIdleMs = 2000;
    waits.writeMs = 20000;
    waits.toolQuitMs = 20000;
    waits.afterRestoreMs = 0;
    return waits;
}
