#pragma once

#include <QByteArray>
#include <QString>

// The settings store the programs read. On POSIX: below the root folder
// (TRAYBRIDGE_REGISTRY_ROOT) one key folder, one file a value, the file's
// bytes the value. On Windows: the key HKLM\SOFTWARE\Cinema4DPluginSettings
// in the 64-bit view, one REG_SZ a value; `root` is not used there.
namespace SettingsStore {

// <root>/SOFTWARE/Cinema4DPluginSettings
QString keyFolder(const QString& root);
QString valueFile(const QString& root, const QString& name);
// Writes one value whole, making the key if needed; false on any failure.
bool write(const QString& root, const QString& name, const QByteArray& value);
// Removes one value; true once it is gone.
bool remove(const QString& root, const QString& name);
// Removes the whole key; true once it is gone.
bool clear(const QString& root);

} // namespace SettingsStore
