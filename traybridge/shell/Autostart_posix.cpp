#include "Autostart.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QStringList>

namespace Autostart {

namespace {

const char entryName[] = "traybridge.desktop";

QString userEntry()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/autostart/") + QLatin1String(entryName);
}

// The first system-wide entry, or an empty text.
QString systemEntry()
{
    QString dirs = qEnvironmentVariable("XDG_CONFIG_DIRS");
    if (dirs.isEmpty())
        dirs = QStringLiteral("/etc/xdg");
    for (const QString& dir : dirs.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        const QString path = dir + QStringLiteral("/autostart/") + QLatin1String(entryName);
        if (QFileInfo(path).isFile())
            return path;
    }
    return QString();
}

// An entry starts the program unless it is hidden or switched off.
bool entryStarts(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    bool inMainGroup = false;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inMainGroup = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        if (!inMainGroup)
            continue;
        const int eq = line.indexOf(QLatin1Char('='));
        if (eq < 0)
            continue;
        const QString key = line.left(eq).trimmed();
        const QString value = line.mid(eq + 1).trimmed();
        if (key == QLatin1String("Hidden") && value == QLatin1String("true"))
            return false;
        if (key == QLatin1String("X-GNOME-Autostart-enabled") && value == QLatin1String("false"))
            return false;
    }
    return true;
}

// The program's path as one argument of an Exec line.
QString execArgument()
{
    QString path = QCoreApplication::applicationFilePath();
    path.replace(QLatin1Char('\\'), QLatin1String("\\\\"))
        .replace(QLatin1Char('"'), QLatin1String("\\\""))
        .replace(QLatin1Char('`'), QLatin1String("\\`"))
        .replace(QLatin1Char('$'), QLatin1String("\\$"))
        .replace(QLatin1Char('%'), QLatin1String("%%"));
    return QLatin1Char('"') + path + QLatin1Char('"');
}

bool writeUserEntry(bool hidden, QString* error)
{
    const QString path = userEntry();
    QDir().mkpath(QFileInfo(path).path());
    QString text = QStringLiteral("[Desktop Entry]\nType=Application\nName=traybridge\n"
                                  "Comment=Starts traybridge when you log in\nExec=%1\nIcon=traybridge\n"
                                  "Terminal=false\n")
                       .arg(execArgument());
    text += hidden ? QStringLiteral("Hidden=true\n") : QStringLiteral("X-GNOME-Autostart-enabled=true\n");
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text.toUtf8()) < 0 || !file.commit()) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

bool removeUserEntry(QString* error)
{
    QFile file(userEntry());
    if (!file.exists() || file.remove())
        return true;
    if (error)
        *error = QStringLiteral("%1: %2").arg(file.fileName(), file.errorString());
    return false;
}

} // namespace

bool isEnabled()
{
    const QString user = userEntry();
    if (QFileInfo(user).isFile())
        return entryStarts(user);
    const QString system = systemEntry();
    return !system.isEmpty() && entryStarts(system);
}

bool setEnabled(bool enabled, QString* error)
{
    const QString system = systemEntry();
    const bool systemStarts = !system.isEmpty() && entryStarts(system);
    if (enabled)
        return systemStarts ? removeUserEntry(error) : writeUserEntry(false, error);
    return systemStarts ? writeUserEntry(true, error) : removeUserEntry(error);
}

} // namespace Autostart
