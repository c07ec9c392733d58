// upssim: a UPS behind an apcupsd-like Network Information Server, for trying
// Voltrine without a UPS and for its tests. See README.md beside this file.

#include "scenario.h"
#include "upssimulator.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>
#include <QThread>

#include <iostream>
#include <string>

namespace {

// Reads standard input line by line on its own thread, so that the simulator
// keeps serving while nobody types, on every platform.
class StdinReader final : public QThread
{
    Q_OBJECT

signals:
    void lineRead(const QString &line);

protected:
    void run() override
    {
        std::string line;
        while (std::getline(std::cin, line))
            emit lineRead(QString::fromStdString(line));
    }
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("upssim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "A simulated UPS served like apcupsd's Network Information Server on 127.0.0.1.\n"
            "Commands on standard input change the UPS while it runs; \"help\" lists them."));
    parser.addHelpOption();
    const QCommandLineOption portOption(
            {QStringLiteral("p"), QStringLiteral("port")},
            QStringLiteral("TCP port (0: any free port; default 3551)."), QStringLiteral("port"),
            QStringLiteral("3551"));
    const QCommandLineOption scenarioOption({QStringLiteral("s"), QStringLiteral("scenario")},
                                            QStringLiteral("Play the timed commands of this file."),
                                            QStringLiteral("file"));
    const QCommandLineOption nameOption(
            QStringLiteral("name"), QStringLiteral("The UPSNAME shown."), QStringLiteral("name"));
    parser.addOption(portOption);
    parser.addOption(scenarioOption);
    parser.addOption(nameOption);
    parser.process(app);

    QTextStream out(stdout);
    QTextStream err(stderr);

    bool portOk = false;
    const uint port = parser.value(portOption).toUInt(&portOk);
    if (!portOk || port > 65535) {
        err << "upssim: not a port: " << parser.value(portOption) << Qt::endl;
        return 2;
    }

    UpsSimulator simulator;
    if (parser.isSet(nameOption))
        simulator.model().setValue(QStringLiteral("UPSNAME"), parser.value(nameOption));

    Scenario scenario(&simulator);
    if (parser.isSet(scenarioOption)) {
        QString error;
        if (!scenario.load(parser.value(scenarioOption), &error)) {
            err << "upssim: " << error << Qt::endl;
            return 2;
        }
    }
    if (!simulator.listen(quint16(port))) {
        err << "upssim: cannot listen on 127.0.0.1:" << port << ": " << simulator.errorString()
            << Qt::endl;
        return 1;
    }
    out << "upssim listening on 127.0.0.1:" << simulator.port() << Qt::endl;

    QObject::connect(&scenario, &Scenario::stepRun, &app, [&out](const QString &command) {
        out << "scenario: " << command << Qt::endl;
    });
    QObject::connect(&scenario, &Scenario::stepFailed, &app,
                     [&err](int line, const QString &message) {
                         err << "upssim: scenario line " << line << ": " << message << Qt::endl;
                     });
    QObject::connect(&simulator, &UpsSimulator::quitRequested, &app, &QCoreApplication::quit);

    // Left running at exit: it may be blocked reading a terminal, and it ends
    // with the process.
    auto *stdinReader = new StdinReader;
    QObject::connect(stdinReader, &StdinReader::lineRead, &app,
                     [&simulator, &out, &err](const QString &line) {
                         QString message;
                         if (!simulator.execute(line, &message))
                             err << "upssim: " << message << Qt::endl;
                         else if (!message.isEmpty())
                             out << message << Qt::flush;
                     });
    stdinReader->start();
    scenario.start();
    return app.exec();
}

#include "main.moc"
