#pragma once

#include <QByteArray>
#include <QString>

// Replaces a configuration file whole. The new text goes to a temporary file
// beside the old one, which is renamed over it when complete, so that a
// reader finds the old file or the new one, never half of one. With a backup
// suffix the previous file is first copied to its name followed by the suffix.
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
                                  const QString &backupSuffix);
