#include "WinePrefix.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>

#include <csignal>

WinePrefix::WinePrefix() : m_dir(QDir::tempPath() + QStringLiteral("/wineprefix-XXXXXX")) {}

WinePrefix::~WinePrefix()
{
    QProcess kill;
    kill.setProcessEnvironment(environment());
    kill.start(QFileInfo(wineBinary()).dir().filePath(QStringLiteral("wineserver")), {QStringLiteral("-k")});
    kill.waitForFinished(30000);
    if (m_keepAlivePid > 0)
        ::kill(static_cast<pid_t>(m_keepAlivePid), SIGKILL);
}

QString WinePrefix::wineBinary()
{
    const QString fromEnv = qEnvironmentVariable("TB_WINE");
    if (!fromEnv.isEmpty())
        return fromEnv;
    return QStringLiteral("/usr/lib/wine/wine64");
}

QProcessEnvironment WinePrefix::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("WINEPREFIX"), m_dir.path());
    env.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all"));
    env.insert(QStringLiteral("WINEDLLOVERRIDES"), QStringLiteral("mscoree,mshtml="));
    env.remove(QStringLiteral("DISPLAY"));
    return env;
}

bool WinePrefix::init()
{
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("cannot create a temporary folder for the prefix");
        return false;
    }
    if (!QFileInfo(wineBinary()).isExecutable()) {
        m_error = QStringLiteral("no Wine at ") + wineBinary();
        return false;
    }
    const Result boot = run(QStringLiteral("wineboot"), {QStringLiteral("-i")}, 180000);
    if (!boot.finished || boot.exitCode != 0) {
        m_error = QStringLiteral("wineboot failed: ") + QString::fromLocal8Bit(boot.err);
        return false;
    }
    return true;
}

WinePrefix::Result WinePrefix::run(const QString& program, const QStringList& args, int timeoutMs,
                                   const QString& workingDir) const
{
    QProcess proc;
    proc.setProcessEnvironment(environment());
    if (!workingDir.isEmpty())
        proc.setWorkingDirectory(workingDir);
    proc.start(wineBinary(), QStringList{program} + args);
    Result result;
    if (!proc.waitForStarted(30000))
        return result;
    result.finished = proc.waitForFinished(timeoutMs);
    if (!result.finished) {
        proc.kill();
        proc.waitForFinished(5000);
    }
    result.exitCode = proc.exitCode();
    result.out = proc.readAllStandardOutput();
    result.err = proc.readAllStandardError();
    return result;
}

bool WinePrefix::settle()
{
    QProcess wait;
    wait.setProcessEnvironment(environment());
    wait.start(QFileInfo(wineBinary()).dir().filePath(QStringLiteral("wineserver")), {QStringLiteral("-w")});
    if (!wait.waitForFinished(120000)) {
        m_error = QStringLiteral("the boot session's wineserver did not end");
        wait.kill();
        wait.waitForFinished(5000);
        return false;
    }
    return true;
}

bool WinePrefix::keepAlive()
{
    qint64 pid = 0;
    QProcess proc;
    proc.setProcessEnvironment(environment());
    proc.setProgram(wineBinary());
    proc.setArguments({QStringLiteral("cmd"), QStringLiteral("/c"), QStringLiteral("ping -n 3600 127.0.0.1 >NUL")});
    if (!proc.startDetached(&pid))
        return false;
    m_keepAlivePid = pid;
    return true;
}

QString WinePrefix::windowsPath(const QString& linuxPath)
{
    QString p = QFileInfo(linuxPath).absoluteFilePath();
    p.replace(QLatin1Char('/'), QLatin1Char('\\'));
    return QStringLiteral("Z:") + p;
}

QString WinePrefix::system32() const
{
    return m_dir.path() + QStringLiteral("/drive_c/windows/system32");
}
