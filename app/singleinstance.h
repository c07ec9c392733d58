#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>

class QLocalSocket;

// One running program per data folder: two would both show a tray icon and
// write every row twice. The first start holds voltrine.lock in the folder and
// listens on a local server named after the folder; a later start asks it to
// show its window and ends.
class SingleInstance final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(SingleInstance)

public:
    // dataFolder: an absolute path.
    explicit SingleInstance(const QString &dataFolder, QObject *parent = nullptr);
    ~SingleInstance() override;

    enum class Outcome {
        Runs,        // this process runs for the folder
        OtherShown,  // another one does, and was asked to show its window
        OtherSilent, // another one holds the folder but did not take the request
    };
    // Decides whether this process runs; called once, before any file of the
    // folder is opened.
    Outcome claim();

    // The local server's name for a folder: the same for every path that leads
    // to the folder, and different for each user.
    static QString serverName(const QString &dataFolder);

signals:
    // A later start asked this process to show its window.
    void activationRequested();

private:
    bool lockNamesThisProcess() const;
    // Runs when nobody answered within patienceMs.
    Outcome askRunning(int patienceMs);
    void accept();
    void readRequests(QLocalSocket *socket);

    const QString lockPath;
    const QString name;
    QLockFile lock;
    QLocalServer server;
};
