#pragma once

#include <QByteArray>
#include <QString>

// Replaces a configuration file whole. The new text goes to a temporary file
// beside the old one, which is renamed over it when complete, so that a
// reader finds the old file or the new one, never half of one. With a backup
// suffix the previous file is first copied to its name followed by the
// suffix (where that copy cannot be made, nothing is changed); with an
// original suffix, the first time only and where it can be, also to that
// name (from the backup where there is one already: it is the older file).
// The file is opened for writing only once the copies are whole: where the
// folder takes no temporary file it is written in place, and a write that
// fails there puts the old text back.
struct ConfigFileWrite
{
    enum Result {
        Saved,
        // The file could not be opened for writing (no folder, no permission).
        NotOpened,
        // The previous file could not be copied; nothing was changed.
        NoBackup,
        // Writing or renaming failed; the old file is whole.
        NotSaved,
    };
    Result result = NotOpened;
    QString error;
};

ConfigFileWrite replaceConfigFile(const QString &path, const QByteArray &text,
                                  const QString &backupSuffix,
                                  const QString &originalSuffix = QString());
