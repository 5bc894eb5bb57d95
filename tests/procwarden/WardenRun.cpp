#include "WardenRun.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>

#include <csignal>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {
// Process ids of the children of a process, as /proc lists them.
QList<qint64> childrenOf(qint64 pid)
{
    QList<qint64> result;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile file(tasks.filePath(task + QStringLiteral("/children")));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray& id : file.readAll().simplified().split(' '))
            if (!id.isEmpty())
                result << id.toLongLong();
    }
    return result;
}

QString wardenBinary()
{
    return qEnvironmentVariable("TB_BIN_DIR") + QStringLiteral("/procwarden");
}
} // namespace

QString privateCopy(const QString& source, const QString& folder, const QString& name)
{
    QDir().mkpath(folder);
    const QString target = QDir(folder).filePath(name);
    QFile::remove(target);
    if (!QFile::copy(source, target))
        return QString();
    QFile::setPermissions(target, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                                      QFileDevice::ReadGroup | QFileDevice::ExeGroup |
                                      QFileDevice::ReadOther | QFileDevice::ExeOther);
    return target;
}

WardenRun::WardenRun() : m_dir(QDir::tempPath() + QStringLiteral("/warden-XXXXXX"))
{
    QDir(m_dir.path()).mkpath(QStringLiteral("work"));
    QDir(m_dir.path()).mkpath(QStringLiteral("run"));
}

WardenRun::~WardenRun()
{
    kill();
    for (auto& inside : m_inside) {
        inside->kill();
        inside->waitForFinished(5000);
    }
    if (m_notifyFd >= 0)
        ::close(m_notifyFd);
}

bool WardenRun::namespacesAvailable(QString* reason)
{
    if (::geteuid() != 0) {
        *reason = QStringLiteral("making a process-id namespace for procwarden needs root");
        return false;
    }
    QProcess probe;
    probe.start(QStringLiteral("unshare"), {QStringLiteral("--pid"), QStringLiteral("--fork"),
                                            QStringLiteral("--mount-proc"), QStringLiteral("true")});
    if (!probe.waitForFinished(30000) || probe.exitStatus() != QProcess::NormalExit ||
        probe.exitCode() != 0) {
        *reason = QStringLiteral("unshare --pid --fork --mount-proc does not work here: ") +
                  QString::fromLocal8Bit(probe.readAllStandardError());
        return false;
    }
    return true;
}

bool WardenRun::setPathPython(const QByteArray& value)
{
    // The key stays even without the value.
    QDir().mkpath(keyFolder());
    if (value.isNull())
        return SettingsStore::remove(registryRoot(), QStringLiteral("path_python"));
    return SettingsStore::write(registryRoot(), QStringLiteral("path_python"), value);
}

QProcessEnvironment WardenRun::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TRAYBRIDGE_REGISTRY_ROOT"), registryRoot());
    env.insert(QStringLiteral("PROCWARDEN_CONTROL_SOCKET"), socketPath());
    env.insert(QStringLiteral("NOTIFY_SOCKET"), m_dir.filePath(QStringLiteral("notify.sock")));
    return env;
}

bool WardenRun::start(const QStringList& wrapper)
{
    if (m_notifyFd < 0) {
        m_notifyFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray path = QFile::encodeName(m_dir.filePath(QStringLiteral("notify.sock")));
        std::strncpy(address.sun_path, path.constData(), sizeof address.sun_path - 1);
        if (::bind(m_notifyFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            return false;
        // procwarden may run as another user.
        ::chmod(path.constData(), 0666);
    }
    m_notifications.clear();
    m_stderr.clear();
    m_process.setProcessEnvironment(environment());
    m_process.setWorkingDirectory(m_dir.filePath(QStringLiteral("work")));
    m_process.start(QStringLiteral("unshare"),
                    QStringList{QStringLiteral("--pid"), QStringLiteral("--fork"),
                                QStringLiteral("--mount-proc"), QStringLiteral("--kill-child"),
                                QStringLiteral("--")} +
                        wrapper + QStringList{wardenBinary()});
    if (!m_process.waitForStarted(30000))
        return false;
    QDeadlineTimer deadline(30000);
    while (!deadline.hasExpired() && m_process.state() == QProcess::Running) {
        const QList<qint64> children = childrenOf(m_process.processId());
        if (!children.isEmpty()) {
            m_wardenPid = children.first();
            break;
        }
        QThread::msleep(10);
    }
    if (m_wardenPid <= 0 || !waitForNotification(QStringLiteral("READY=1"), 30000))
        return false;
    // The wait of ServiceMain and the worker's entry follow the running report.
    while (!deadline.hasExpired() && m_process.state() == QProcess::Running) {
        const QStringList lines = logMessages();
        if (lines.count(QStringLiteral("My Sample Service: Main: Entry")) ==
                lines.count(QStringLiteral("My Sample Service: ServiceWorkerThread: Entry")) &&
            lines.count(QStringLiteral("My Sample Service: Main: Entry")) ==
                lines.count(
                    QStringLiteral("My Sample Service: ServiceMain: Waiting for Worker Thread to complete")))
            return true;
        QThread::msleep(10);
    }
    return false;
}

bool WardenRun::waitForExit(int timeoutMs)
{
    if (m_process.state() == QProcess::NotRunning)
        return true;
    const bool done = m_process.waitForFinished(timeoutMs);
    m_stderr += m_process.readAllStandardError();
    return done;
}

void WardenRun::kill()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    if (m_wardenPid > 0)
        ::kill(static_cast<pid_t>(m_wardenPid), SIGKILL);
    m_process.kill();
    m_process.waitForFinished(10000);
}

QProcess* WardenRun::startInside(const QString& program, const QStringList& args, const QString& imageFile,
                                 const QProcessEnvironment& env)
{
    auto inside = std::make_unique<QProcess>();
    if (!env.isEmpty())
        inside->setProcessEnvironment(env);
    inside->start(QStringLiteral("nsenter"),
                  QStringList{QStringLiteral("--target"), QString::number(m_wardenPid),
                              QStringLiteral("--pid"), QStringLiteral("--mount"), QStringLiteral("--"),
                              program} +
                      args);
    if (!inside->waitForStarted(30000))
        return nullptr;
    // nsenter forks the program into the namespace; wait until it runs its own image.
    const QString image = QFileInfo(imageFile.isEmpty() ? program : imageFile).canonicalFilePath();
    QDeadlineTimer deadline(30000);
    bool running = false;
    while (!deadline.hasExpired() && inside->state() == QProcess::Running && !running) {
        for (qint64 child : childrenOf(inside->processId()))
            if (QFileInfo(QStringLiteral("/proc/%1/exe").arg(child)).symLinkTarget() == image)
                running = true;
        if (!running)
            QThread::msleep(10);
    }
    if (!running)
        return nullptr;
    m_inside.push_back(std::move(inside));
    return m_inside.back().get();
}

QByteArray WardenRun::sendRaw(const QByteArray& request, int timeoutMs) const
{
    QLocalSocket socket;
    socket.connectToServer(socketPath());
    if (!socket.waitForConnected(timeoutMs))
        return QByteArray("<no connection: ") + socket.errorString().toLocal8Bit() + ">";
    socket.write(request);
    socket.waitForBytesWritten(timeoutMs);
    QByteArray answer;
    QDeadlineTimer deadline(timeoutMs);
    while (!answer.contains('\n') && !deadline.hasExpired()) {
        if (!socket.bytesAvailable() && !socket.waitForReadyRead(static_cast<int>(deadline.remainingTime())))
            break;
        answer += socket.readAll();
    }
    return answer;
}

QStringList WardenRun::logMessages() const
{
    QFile file(logPath());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromLocal8Bit(file.readAll()).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    static const QRegularExpression stamp(QStringLiteral("^\\[[A-Z][a-z]{2} [A-Z][a-z]{2} [ 123]\\d "
                                                         "\\d\\d:\\d\\d:\\d\\d \\d{4}\\] "));
    for (QString& line : lines) {
        const QRegularExpressionMatch match = stamp.match(line);
        if (match.hasMatch())
            line = line.mid(match.capturedLength());
    }
    return lines;
}

bool WardenRun::stampsWellFormed(QString* bad) const
{
    QFile file(logPath());
    if (!file.open(QIODevice::ReadOnly))
        return false;
    static const QRegularExpression stamp(
        QStringLiteral("^\\[(Mon|Tue|Wed|Thu|Fri|Sat|Sun) "
                       "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                       "( [1-9]|[12]\\d|3[01]) ([01]\\d|2[0-3]):[0-5]\\d:[0-5]\\d "
                       "\\d{4}\\] "));
    for (const QString& line : QString::fromLocal8Bit(file.readAll()).split(QLatin1Char('\n'))) {
        // Empty lines and the key path continue a message.
        if (line.isEmpty() || line.startsWith(QLatin1Char('<')))
            continue;
        if (!stamp.match(line).hasMatch()) {
            *bad = line;
            return false;
        }
    }
    return true;
}

QStringList WardenRun::notifications()
{
    char buffer[4096];
    for (;;) {
        const ssize_t n = m_notifyFd >= 0 ? ::recv(m_notifyFd, buffer, sizeof buffer, 0) : -1;
        if (n <= 0)
            break;
        m_notifications << QString::fromLocal8Bit(buffer, static_cast<int>(n));
    }
    return m_notifications;
}

bool WardenRun::waitForNotification(const QString& text, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        for (const QString& message : notifications())
            if (message.split(QLatin1Char('\n')).contains(text))
                return true;
        if (deadline.hasExpired() || m_notifyFd < 0 || m_process.state() == QProcess::NotRunning)
            return false;
        pollfd p{m_notifyFd, POLLIN, 0};
        ::poll(&p, 1, static_cast<int>(qMin<qint64>(deadline.remainingTime(), 200)));
    }
}

QByteArray WardenRun::stderrText()
{
    m_stderr += m_process.readAllStandardError();
    return m_stderr;
}

QByteArray WardenRun::sendControlAs(const QStringList& wrapper, unsigned code) const
{
    // A minimal client of the channel: one line out, one line back.
    static const char* client = "import socket, sys\n"
                                "s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)\n"
                                "s.connect(sys.argv[1])\n"
                                "s.sendall(sys.argv[2].encode() + b'\\n')\n"
                                "answer = b''\n"
                                "while not answer.endswith(b'\\n'):\n"
                                "    part = s.recv(64)\n"
                                "    if not part: break\n"
                                "    answer += part\n"
                                "sys.stdout.buffer.write(answer)\n";
    QProcess proc;
    const QStringList command =
        wrapper + QStringList{QStringLiteral("/usr/bin/python3"), QStringLiteral("-c"),
                              QString::fromLatin1(client), socketPath(), QString::number(code)};
    proc.start(command.first(), command.mid(1));
    if (!proc.waitForFinished(60000))
        return QByteArray("<client did not finish>");
    return proc.readAllStandardOutput() + proc.readAllStandardError();
}
