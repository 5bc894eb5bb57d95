#include "UserPaths.h"

#include "IPCServer.h"

#include <QDir>
#include <QStandardPaths>

namespace UserPaths {

QString stateDir()
{
#ifdef Q_OS_WIN
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
#else
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    if (!QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/state");
#endif
    return QDir::cleanPath(base) + QStringLiteral("/traybridge");
}

QString ipcName()
{
#ifdef Q_OS_WIN
    return QStringLiteral(IPC_NAME);
#else
    // Qt checks that the folder is the user's own (mode 0700).
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (runtime.isEmpty())
        return QStringLiteral(IPC_NAME);
    return runtime + QStringLiteral("/" IPC_NAME);
#endif
}

} // namespace UserPaths
