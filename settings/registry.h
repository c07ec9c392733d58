#pragma once

#include <QFile>
#include <QStringList>
#include <QThread>

class Logs;

// The program's named settings, kept as KEY:value lines in the file "confdata".
// Loaded once at construction; reads are answered from memory; a change of an
// existing key stays in memory until save(); a new key is appended to the file
// at once. Used from the GUI thread only.
//
// Derives from QThread for historical reasons only; it never runs as a thread.
class Registry final : public QThread
{
    Q_OBJECT
    Q_DISABLE_COPY(Registry)

public:
    // The process-wide store on "confdata" in the working directory.
    static Registry *instance();

    // Loads fileName (relative names follow the working directory at each open).
    Registry(Logs *logs, const QString &fileName = QStringLiteral("confdata"));
    ~Registry() override;

    QString getKey(const QString &key, bool decode = false) const;
    bool setKey(const QString &key, const QString &value, bool encode = false);
    // Rewrites the file from the stored lines, atomically where the folder
    // allows it. Lines the load rejected are not written again.
    bool save();
    // Reads the file again, as at construction: what was changed in memory
    // and not saved is forgotten. For a program told to take up edits of the
    // file (a service on SIGHUP).
    void reload();

    // What the load reported through regstatuserror(): true when the file could
    // not be read, was empty or held a rejected line.
    bool loadFailed() const { return loadError; }
    // The settings file's name as given (relative to the working directory).
    QString fileName() const { return configfile.fileName(); }
    // The accepted lines, in file order. A rejected line is skipped; the
    // lines after it are loaded all the same.
    QStringList storedLines() const { return lines; }

    // True when a file line passes the load's grammar (blanks are removed first).
    static bool isAcceptedLine(const QString &line);
    // True when setKey(key, value, encode) stores a line that the next load
    // reads back, so that getKey(key, encode) gives value again. Whatever
    // stores a value it did not choose itself (the configuration page, the
    // import from the registry) asks this first.
    static bool isLoadable(const QString &key, const QString &value, bool encode = false);

signals:
    void regstatuserror(bool error);

protected:
    void run() override { }

private:
    void load();
    void writeHeaderIfEmpty();
    int indexOfKey(const QString &key) const;

    QFile configfile;
    QStringList lines;
    Logs *logs;
    bool loadError = false;
};
