#pragma once

#include <QSettings>
#include <QString>

#include <memory>

// The per-user registry values of the program ("LoggingDatabase",
// "Administration", "Hardware"). On Windows they live under
// HKEY_CURRENT_USER\Brindlecast\<leaf>; elsewhere in the native settings file
// of organisation "Brindlecast", application <leaf>, with the same value names.
std::unique_ptr<QSettings> openUserRegistry(const QString &leaf);
