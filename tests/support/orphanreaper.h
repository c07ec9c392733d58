#pragma once

#include <QDir>
#include <QFile>
#include <QList>
#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <thread>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

// Programs started detached are orphaned at once and adopted by PID 1, which
// on some test machines never collects them: their zombies then stay in the
// process list under their names and look like running programs. With a
// reaper the test process adopts them instead and collects those it is told
// about, by name, so that QProcess's own children are never touched. Given
// names, it collects them on a thread of its own as soon as they end, also
// while the test's thread is blocked in a long call.
class OrphanReaper
{
public:
    explicit OrphanReaper(const QStringList &names = QStringList())
    {
        prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
        if (!names.isEmpty()) {
            collector = std::thread([this, names] {
                while (!stopping) {
                    reap(names);
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                }
            });
        }
    }
    ~OrphanReaper()
    {
        stopping = true;
        if (collector.joinable())
            collector.join();
        prctl(PR_SET_CHILD_SUBREAPER, 0, 0, 0, 0);
    }
    OrphanReaper(const OrphanReaper &) = delete;
    OrphanReaper &operator=(const OrphanReaper &) = delete;

    struct ProcessInfo
    {
        qint64 pid = 0;
        qint64 parent = 0;
        char state = '?';
        QString name;
    };

    static QList<ProcessInfo> processes()
    {
        QList<ProcessInfo> found;
        const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
        for (const QString &entry : entries) {
            bool isPid = false;
            const qint64 pid = entry.toLongLong(&isPid);
            if (!isPid)
                continue;
            QFile stat(QStringLiteral("/proc/") + entry + QStringLiteral("/stat"));
            if (!stat.open(QIODevice::ReadOnly))
                continue;
            // pid (name) state ppid ...; the name may hold blanks and parentheses.
            const QByteArray line = stat.readAll();
            const int open = line.indexOf('(');
            const int close = line.lastIndexOf(')');
            if (open < 0 || close < open)
                continue;
            const QList<QByteArray> rest = line.mid(close + 2).split(' ');
            if (rest.size() < 2)
                continue;
            ProcessInfo info;
            info.pid = pid;
            info.name = QString::fromUtf8(line.mid(open + 1, close - open - 1));
            info.state = rest.at(0).isEmpty() ? '?' : rest.at(0).at(0);
            info.parent = rest.at(1).toLongLong();
            found.append(info);
        }
        return found;
    }

    // Live processes (zombies left out) with this image name.
    static QList<qint64> running(const QString &name)
    {
        QList<qint64> pids;
        for (const ProcessInfo &info : processes()) {
            if (info.name == name && info.state != 'Z')
                pids.append(info.pid);
        }
        return pids;
    }

    // Collects the zombies among our adopted children that have one of these names.
    static void reap(const QStringList &names)
    {
        const qint64 self = getpid();
        for (const ProcessInfo &info : processes()) {
            if (info.parent == self && info.state == 'Z' && names.contains(info.name))
                waitpid(static_cast<pid_t>(info.pid), nullptr, WNOHANG);
        }
    }

    // Ends every live process with this name (names are unique to the test).
    static void killAll(const QString &name)
    {
        for (const qint64 pid : running(name))
            kill(static_cast<pid_t>(pid), SIGKILL);
    }

private:
    std::atomic<bool> stopping{false};
    std::thread collector;
};
