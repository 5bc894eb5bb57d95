#include "Autostart.h"

#include <QCoreApplication>
#include <QDir>
#include <QSettings>

namespace Autostart {

namespace {

const QString runKey = QStringLiteral("\\Software\\Microsoft\\Windows\\CurrentVersion\\Run");
const QString valueName = QStringLiteral("traybridge");

QString runValue(const QString& hive)
{
    QSettings run(hive + runKey, QSettings::NativeFormat);
    return run.value(valueName).toString();
}

} // namespace

bool isEnabled()
{
    return !runValue(QStringLiteral("HKEY_CURRENT_USER")).isEmpty() ||
           !runValue(QStringLiteral("HKEY_LOCAL_MACHINE")).isEmpty();
}

bool setEnabled(bool enabled, QString* error)
{
    QSettings run(QStringLiteral("HKEY_CURRENT_USER") + runKey, QSettings::NativeFormat);
    if (enabled) {
        const QString program = QDir::toNativeSeparators(QCoreApplication::applicationFilePath());
        run.setValue(valueName, QLatin1Char('"') + program + QLatin1Char('"'));
    } else {
        run.remove(valueName);
    }
    run.sync();
    if (run.status() != QSettings::NoError) {
        if (error)
            *error = QStringLiteral("HKEY_CURRENT_USER") + runKey + QStringLiteral(": cannot be written");
        return false;
    }
    if (!enabled && !runValue(QStringLiteral("HKEY_LOCAL_MACHINE")).isEmpty()) {
        if (error)
            *error = QStringLiteral("traybridge starts for every user (HKEY_LOCAL_MACHINE") + runKey +
                     QStringLiteral("); the installer removes it");
        return false;
    }
    return true;
}

} // namespace Autostart
