#include "DesktopOpen.h"

#include <QDesktopServices>
#include <QFile>

namespace DesktopOpen {

bool open(const QUrl& url)
{
    const QString logPath = qEnvironmentVariable("TRAYBRIDGE_OPEN_LOG");
    if (logPath.isEmpty())
        return QDesktopServices::openUrl(url);
    QFile log(logPath);
    if (!log.open(QIODevice::Append))
        return false;
    return log.write(url.toString(QUrl::FullyEncoded).toUtf8() + '\n') > 0;
}

} // namespace DesktopOpen
