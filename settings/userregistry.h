#pragma once

#include <QSettings>
#include <QString>

#include <memory>

// The per-user registry values of the program ("LoggingDatabase",
// "Administration", "Hardware"). On Windows they live under
// HKEY_CURRENT_USER\Brindlecast\<leaf>; elsewhere in the native settings file
// of organisation "Brindlecast", application <leaf>, with the same value names.
std::unique_ptr<QSettings> openUserRegistry(const QString &leaf);

// Linux: from now on openUserRegistry(leaf) opens <folder>/Brindlecast/<leaf>.conf
// (INI format) instead, for a program that keeps its values in a folder of its
// own; an empty folder goes back to the default. Called once at start, before
// any value is read. Windows: nothing; the values stay in the registry.
void setUserRegistryFolder(const QString &folder);
