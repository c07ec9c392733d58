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

// A copy of text at path, readable as the file it copies; the error, empty on success.
QString keepCopy(const QString &path, const QByteArray &text, QFileDevice::Permissions permissions)
{
    QSaveFile copy(path);
    copy.setDirectWriteFallback(true);
    if (!copy.open(QIODevice::WriteOnly))
        return copy.errorString();
    // The copy is no easier to read than the file: it may hold secrets.
    if (!copy.setPermissions(permissions)) {
        copy.cancelWriting();
        return copy.errorString();
    }
    return writeWhole(copy, text);
}

ConfigFileWrite replaceConfigFile(const QString &path, const QByteArray &text,
                                  const QString &backupSuffix, const QString &originalSuffix)
{
    // The old text is read, and its copies are whole, before the file is
    // opened for writing: where the folder takes no temporary file, opening
    // it empties it.
    QFile previous(path);
    QByteArray old;
    const bool hadFile = previous.exists();
    if (hadFile && (!backupSuffix.isEmpty() || !originalSuffix.isEmpty())) {
        if (!previous.open(QIODevice::ReadOnly))
            return {ConfigFileWrite::NoBackup, previous.errorString()};
        old = previous.readAll();
        if (previous.error() != QFileDevice::NoError)
            return {ConfigFileWrite::NoBackup, previous.errorString()};
        previous.close();
        const QFileDevice::Permissions permissions = previous.permissions();
        const QString original = path + originalSuffix;
        if (!originalSuffix.isEmpty() && !QFile::exists(original)) {
            // A backup made before there were originals is the older text.
            QFile backup(path + backupSuffix);
            QByteArray oldest = old;
            if (!backupSuffix.isEmpty() && backup.open(QIODevice::ReadOnly))
                oldest = backup.readAll();
            // Where it can be: a folder that takes no new file keeps the
            // one-generation copy only, and the save goes on.
            keepCopy(original, oldest, permissions);
        }
        if (!backupSuffix.isEmpty()) {
            const QString error = keepCopy(path + backupSuffix, old, permissions);
            if (!error.isEmpty())
                return {ConfigFileWrite::NoBackup, error};
        }
    }

    // Written beside the old file and renamed over it, so that the daemon
    // never finds half a configuration; where the folder takes no temporary
    // file but the file itself is writable, it is written in place.
    QSaveFile file(path);
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly))
        return {ConfigFileWrite::NotOpened, file.errorString()};
    const QString error = writeWhole(file, text);
    if (error.isEmpty())
        return {ConfigFileWrite::Saved, QString()};
    // Written in place and failed half-way: the old text goes back.
    if (hadFile && !old.isEmpty()) {
        QFile restore(path);
        if (restore.open(QIODevice::ReadOnly) && restore.readAll() != old) {
            restore.close();
            if (restore.open(QIODevice::WriteOnly | QIODevice::Truncate))
                restore.write(old);
        }
    }
    return {ConfigFileWrite::NotSaved, error};
}
