#include "agent.h"
#include "userregistry.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QLoggingCategory>
#include <QSocketNotifier>
#include <QTextStream>

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Signals arrive as one byte each on this pair and are handled by the event
// loop: a handler itself may do next to nothing.
int signalPair[2] = {-1, -1};

// Like the program's subsystems, the agent lives as long as the process: its
// threads may still be ending their last run when main() returns.
Agent *agent = nullptr;

void passSignal(int number)
{
    const char byte = char(number);
    // Nothing to be done about a full pipe: the signal before is still pending.
    [[maybe_unused]] const ssize_t written = ::write(signalPair[0], &byte, 1);
}

bool catchSignals(std::initializer_list<int> numbers)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPair) != 0)
        return false;
    ::fcntl(signalPair[0], F_SETFL, O_NONBLOCK);
    for (const int number : numbers) {
        struct sigaction action = {};
        action.sa_handler = passSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        if (::sigaction(number, &action, nullptr) != 0)
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    // The trace's records go to standard output once, stamped; the copies the
    // trace also sends to Qt's debug output would repeat them.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    QCoreApplication::setApplicationName(QStringLiteral("voltrine-agent"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VOLTRINE_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "Watches a UPS through apcupsd's network server and records its measurements and "
            "events in the database, without a window.\nSIGHUP takes up the database settings "
            "of confdata again; SIGTERM ends it."));
    parser.addHelpOption();
    parser.addVersionOption();
    // systemd names the folder of StateDirectory= in STATE_DIRECTORY.
    QString defaultFolder = qEnvironmentVariable("STATE_DIRECTORY").section(QLatin1Char(':'), 0, 0);
    if (defaultFolder.isEmpty())
        defaultFolder = QStringLiteral("/var/lib/voltrine");
    const QCommandLineOption dataOption(
            QStringLiteral("data"),
            QStringLiteral("The folder of confdata, Trace.log and the journal (default %1).")
                    .arg(defaultFolder),
            QStringLiteral("folder"), defaultFolder);
    parser.addOption(dataOption);
    parser.process(application);

    QTextStream err(stderr);
    const QString folder = QDir(parser.value(dataOption)).absolutePath();
    if (!QDir().mkpath(folder) || !QDir::setCurrent(folder)) {
        err << "voltrine-agent: cannot use the folder " << folder << Qt::endl;
        return 1;
    }
    // The machine number and the values written back live there too.
    setUserRegistryFolder(folder);

    if (!catchSignals({SIGTERM, SIGINT, SIGHUP})) {
        err << "voltrine-agent: cannot catch signals" << Qt::endl;
        return 1;
    }
    agent = new Agent;
    QSocketNotifier signalsArriving(signalPair[1], QSocketNotifier::Read);
    QObject::connect(&signalsArriving, &QSocketNotifier::activated, agent, [] {
        char number = 0;
        if (::read(signalPair[1], &number, 1) != 1)
            return;
        if (number == SIGHUP) {
            agent->reload();
            return;
        }
        agent->stop();
        QCoreApplication::quit();
    });
    agent->start();
    return application.exec();
}
