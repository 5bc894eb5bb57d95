#pragma once

#include <QByteArray>
#include <QString>

// The settings store the programs read on POSIX: below the root folder
// (TRAYBRIDGE_REGISTRY_ROOT) one key folder, one file a value, the file's
// bytes the value.
namespace SettingsStore {

// <root>/SOFTWARE/Cinema4DPluginSettings
QString keyFolder(const QString& root);
QString valueFile(const QString& root, const QString& name);
// Writes one value whole, making the key folder if needed; false on any failure.
bool write(const QString& root, const QString& name, const QByteArray& value);
// Removes one value; true once it is gone.
bool remove(const QString& root, const QString& name);

} // namespace SettingsStore
