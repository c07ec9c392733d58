#include "conffile.h"

#include <QFile>
#include <QSaveFile>

namespace {

// Writes text to path through a temporary file; returns the error, empty on success.
QString writeWhole(QSaveFile &file, const QByteArray &text)
{
    // Flushed and checked before the commit: Qt 5's commit misses a failure
    // of the last flush (a full disk) and would put an empty file in place.
    if (file.write(text) != text.size() || !file.flush()) {
        const QString error = file.errorString();
        file.cancelWriting();
        return error;
    }
    if (!file.commit())
        return file.errorString();
    return QString();
}

} // namespace

ConfigFileWrite replaceConfigFile(const QString &path, const QByteArray &text,
                                  const QString &backupSuffix)
{
    // Written beside the old file and renamed over it, so that the daemon
    // never finds half a configuration; where the folder takes no temporary
    // file but the file itself is writable, it is written in place.
    QSaveFile file(path);
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly))
        return {ConfigFileWrite::NotOpened, file.errorString()};

    QFile previous(path);
    if (!backupSuffix.isEmpty() && previous.exists()) {
        if (!previous.open(QIODevice::ReadOnly)) {
            file.cancelWriting();
            return {ConfigFileWrite::NoBackup, previous.errorString()};
        }
        const QByteArray old = previous.readAll();
        QSaveFile backup(path + backupSuffix);
        backup.setDirectWriteFallback(true);
        QString error =
                previous.error() == QFileDevice::NoError ? QString() : previous.errorString();
        if (error.isEmpty() && !backup.open(QIODevice::WriteOnly))
            error = backup.errorString();
        // The copy is no easier to read than the file: it may hold secrets.
        if (error.isEmpty() && !backup.setPermissions(previous.permissions()))
            error = backup.errorString();
        if (error.isEmpty())
            error = writeWhole(backup, old);
        if (!error.isEmpty()) {
            file.cancelWriting();
            return {ConfigFileWrite::NoBackup, error};
        }
    }

    const QString error = writeWhole(file, text);
    if (!error.isEmpty())
        return {ConfigFileWrite::NotSaved, error};
    return {ConfigFileWrite::Saved, QString()};
}
