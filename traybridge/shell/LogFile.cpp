#include "LogFile.h"

#include "UserPaths.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>

namespace LogFile {

namespace {

struct State
{
    QMutex mutex;
    QFile file;
    QString path;
    qint64 maxBytes = defaultMaxBytes;
    int keep = defaultKeep;
    bool installed = false;
    QtMessageHandler previous = nullptr;
};

// Lives as long as the process: threads may still write while it ends.
State& state()
{
    static State* const s = new State;
    return *s;
}

// A line written while this thread is already writing one (a warning of the
// file itself) only goes to the previous output.
thread_local bool writing = false;

const char* levelName(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "debug";
    case QtInfoMsg:
        return "info";
    case QtWarningMsg:
        return "warning";
    case QtCriticalMsg:
        return "critical";
    case QtFatalMsg:
        return "fatal";
    }
    return "debug";
}

QString rotated(const QString& path, int n)
{
    return path + QLatin1Char('.') + QString::number(n);
}

void rotate(State& s)
{
    s.file.close();
    QFile::remove(rotated(s.path, s.keep));
    for (int n = s.keep - 1; n >= 1; --n)
        QFile::rename(rotated(s.path, n), rotated(s.path, n + 1));
    if (s.keep > 0)
        QFile::rename(s.path, rotated(s.path, 1));
    else
        QFile::remove(s.path);
}

bool openFile(State& s)
{
    if (s.file.isOpen())
        return true;
    QDir().mkpath(QFileInfo(s.path).path());
    s.file.setFileName(s.path);
    return s.file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text);
}

void write(State& s, QtMsgType type, const QString& message)
{
    const QByteArray line =
        (QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")) + QLatin1Char(' ') +
         QLatin1String(levelName(type)) + QLatin1Char(' ') + message + QLatin1Char('\n'))
            .toUtf8();
    if (!openFile(s))
        return;
    if (s.file.size() > 0 && s.file.size() + line.size() > s.maxBytes) {
        rotate(s);
        if (!openFile(s))
            return;
    }
    s.file.write(line);
    s.file.flush();
}

void handler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    State& s = state();
    QtMessageHandler previous = nullptr;
    if (!writing) {
        writing = true;
        {
            QMutexLocker lock(&s.mutex);
            if (s.installed)
                write(s, type, message);
            previous = s.previous;
        }
        writing = false;
    } else {
        // Inside write() on this thread, which holds the lock.
        previous = s.previous;
    }
    if (previous)
        previous(type, context, message);
}

} // namespace

QString defaultPath()
{
    return UserPaths::stateDir() + QStringLiteral("/traybridge.log");
}

void install(const QString& path, qint64 maxBytes, int keep)
{
    State& s = state();
    QMutexLocker lock(&s.mutex);
    if (s.file.isOpen())
        s.file.close();
    s.path = path;
    s.maxBytes = maxBytes;
    s.keep = keep;
    if (!s.installed) {
        s.installed = true;
        s.previous = qInstallMessageHandler(handler);
    }
}

void uninstall()
{
    State& s = state();
    QMutexLocker lock(&s.mutex);
    if (!s.installed)
        return;
    qInstallMessageHandler(s.previous);
    s.installed = false;
    s.file.close();
    s.path.clear();
}

QString path()
{
    State& s = state();
    QMutexLocker lock(&s.mutex);
    return s.path;
}

} // namespace LogFile
