#include "SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace SettingsStore {

QString keyFolder(const QString& root)
{
    return root + QStringLiteral("/SOFTWARE/Cinema4DPluginSettings");
}

QString valueFile(const QString& root, const QString& name)
{
    return keyFolder(root) + QLatin1Char('/') + name;
}

#ifndef Q_OS_WIN
bool write(const QString& root, const QString& name, const QByteArray& value)
{
    if (!QDir().mkpath(keyFolder(root)))
        return false;
    QFile file(valueFile(root, name));
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(value) == value.size();
}

bool remove(const QString& root, const QString& name)
{
    const QString file = valueFile(root, name);
    return QFile::remove(file) || !QFile::exists(file);
}

bool clear(const QString& root)
{
    // A key made unopenable may be a plain file.
    QDir(keyFolder(root)).removeRecursively();
    QFile::remove(keyFolder(root));
    return !QFileInfo::exists(keyFolder(root));
}
#endif

} // namespace SettingsStore
