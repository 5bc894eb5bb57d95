#include "ProcStats.h"

#include <QDir>
#include <QFile>

ProcStats ProcStats::of(qint64 pid)
{
    ProcStats stats;
    const QString taskDir = QStringLiteral("/proc/%1/task").arg(pid);
    const QStringList tasks = QDir(taskDir).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& task : tasks) {
        QFile status(taskDir + QLatin1Char('/') + task + QStringLiteral("/status"));
        if (status.open(QIODevice::ReadOnly)) {
            for (const QByteArray& line : status.readAll().split('\n')) {
                if (line.startsWith("voluntary_ctxt_switches:"))
                    stats.voluntarySwitches += line.mid(24).trimmed().toLongLong();
            }
        }
        QFile schedstat(taskDir + QLatin1Char('/') + task + QStringLiteral("/schedstat"));
        if (schedstat.open(QIODevice::ReadOnly))
            stats.cpuNs += schedstat.readAll().split(' ').value(0).toLongLong();
    }
    return stats;
}
