#include "TrayDesktop.h"

#include "ChildRun.h"

#include <QDeadlineTimer>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTest>

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

pid_t spawn(const QList<QByteArray>& command, const QList<QByteArray>& extraEnvironment)
{
    std::vector<QByteArray> storage(command.begin(), command.end());
    std::vector<char*> argv;
    for (QByteArray& item : storage)
        argv.push_back(item.data());
    argv.push_back(nullptr);

    std::vector<QByteArray> envStorage;
    for (char** e = environ; *e; ++e) {
        const QByteArray entry(*e);
        bool replaced = false;
        for (const QByteArray& extra : extraEnvironment)
            replaced = replaced || entry.startsWith(extra.left(extra.indexOf('=') + 1));
        if (!replaced)
            envStorage.push_back(entry);
    }
    for (const QByteArray& extra : extraEnvironment)
        envStorage.push_back(extra);
    std::vector<char*> envp;
    for (QByteArray& item : envStorage)
        envp.push_back(item.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int failed = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return failed ? 0 : pid;
}

void stop(pid_t pid)
{
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
}

bool deadlinePassed(const timespec& start, int ms)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000 > ms;
}

} // namespace

TrayDesktop::~TrayDesktop()
{
    stop(m_trayer);
    stop(m_xvfb);
}

bool TrayDesktop::start(const QString& trayProbe)
{
    // Every network namespace has its own abstract X sockets, but the socket
    // files in /tmp/.X11-unix are shared, and Xvfb takes over an existing one.
    // Numbers counted up from 0 (as -displayfd does) would meet those of runs in
    // other namespaces; a number drawn from a wide range, whose socket file is
    // not there yet, does not.
    timespec seed;
    clock_gettime(CLOCK_MONOTONIC, &seed);
    unsigned number = 0;
    for (int attempt = 0; attempt < 40 && m_display.isEmpty(); ++attempt) {
        number =
            100 +
            (unsigned(getpid()) * 131u + unsigned(seed.tv_nsec / 1000) + unsigned(attempt) * 977u) % 5000u;
        const QByteArray socketFile = "/tmp/.X11-unix/X" + QByteArray::number(number);
        if (access(socketFile.constData(), F_OK) == 0)
            continue;
        m_xvfb = spawn(
            {"Xvfb", ":" + QByteArray::number(number), "-screen", "0", "640x240x24", "-nolisten", "tcp"}, {});
        if (!m_xvfb) {
            m_error = QStringLiteral("Xvfb does not start");
            return false;
        }
        timespec begin;
        clock_gettime(CLOCK_MONOTONIC, &begin);
        while (!deadlinePassed(begin, 15000)) {
            int status = 0;
            if (waitpid(m_xvfb, &status, WNOHANG) == m_xvfb) {
                m_xvfb = 0; // the number was taken after all
                break;
            }
            if (access(socketFile.constData(), F_OK) == 0) {
                m_display = QStringLiteral(":") + QString::number(number);
                break;
            }
            const timespec pause{0, 20 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
        if (m_display.isEmpty() && m_xvfb) {
            stop(m_xvfb);
            m_xvfb = 0;
        }
    }
    if (m_display.isEmpty()) {
        m_error = QStringLiteral("no free X display found");
        return false;
    }
    const QByteArray displayVar = "DISPLAY=" + m_display.toLatin1();

    m_trayer =
        spawn({"trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel", "--width", "120",
               "--height", "24", "--SetDockType", "true", "--transparent", "false", "--tint", "0xd0d0d0"},
              {displayVar});
    if (!m_trayer) {
        m_error = QStringLiteral("trayer does not start");
        return false;
    }

    // Ready once a Qt program on this display sees the tray.
    timespec begin;
    clock_gettime(CLOCK_MONOTONIC, &begin);
    while (!deadlinePassed(begin, 30000)) {
        const pid_t probe = spawn({trayProbe.toLocal8Bit()},
                                  {displayVar, "QT_QPA_PLATFORM=xcb", "DBUS_SESSION_BUS_ADDRESS=disabled:"});
        int status = 0;
        if (probe && waitpid(probe, &status, 0) == probe && WIFEXITED(status) && WEXITSTATUS(status) == 0)
            return true;
        const timespec pause{0, 100 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    m_error = QStringLiteral("no system tray appeared on ") + m_display;
    return false;
}

TrayDesktop::ToolResult TrayDesktop::run(const QString& program, const QStringList& arguments,
                                         int timeoutMs) const
{
    ChildRunOptions options;
    options.environment = QProcessEnvironment::systemEnvironment();
    options.environment.insert(QStringLiteral("DISPLAY"), m_display);
    options.timeoutMs = timeoutMs;
    const ChildRun child = ChildRun::run(program, arguments, options);
    ToolResult result;
    if (!child.finished)
        return result;
    result.exitCode = child.exitCode;
    result.out = QString::fromLocal8Bit(child.out);
    return result;
}

QList<TrayDesktop::Window> TrayDesktop::visibleWindows(qint64 pid) const
{
    QList<Window> windows;
    const ToolResult ids =
        run(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                        QStringLiteral("--pid"), QString::number(pid)});
    static const QRegularExpression position(QStringLiteral("Absolute upper-left X:\\s+(-?\\d+).*"
                                                            "Absolute upper-left Y:\\s+(-?\\d+).*"
                                                            "Width:\\s+(\\d+).*Height:\\s+(\\d+)"),
                                             QRegularExpression::DotMatchesEverythingOption);
    for (const QString& id : ids.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const ToolResult info = run(QStringLiteral("xwininfo"), {QStringLiteral("-id"), id.trimmed()});
        const QRegularExpressionMatch m = position.match(info.out);
        if (!m.hasMatch())
            continue;
        windows.append({id.trimmed(), m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt(),
                        m.captured(4).toInt()});
    }
    return windows;
}

TrayDesktop::Window TrayDesktop::trayIconOf(qint64 pid) const
{
    for (const Window& w : visibleWindows(pid)) {
        // trayer's panel is 24 pixels high at the top edge; icons are 22x22 in it.
        if (w.width <= 24 && w.height <= 24 && w.y <= 2)
            return w;
    }
    return Window();
}

bool TrayDesktop::click(const Window& window, int button) const
{
    return run(QStringLiteral("xdotool"),
               {QStringLiteral("mousemove"), QStringLiteral("--window"), window.id,
                QString::number(window.width / 2), QString::number(window.height / 2),
                QStringLiteral("click"), QString::number(button)})
               .exitCode == 0;
}

bool TrayDesktop::doubleClick(const Window& window) const
{
    return run(QStringLiteral("xdotool"),
               {QStringLiteral("mousemove"), QStringLiteral("--window"), window.id,
                QString::number(window.width / 2), QString::number(window.height / 2),
                QStringLiteral("click"), QStringLiteral("--repeat"), QStringLiteral("2"),
                QStringLiteral("--delay"), QStringLiteral("80"), QStringLiteral("1")})
               .exitCode == 0;
}

bool TrayDesktop::keys(const QStringList& keys) const
{
    return run(QStringLiteral("xdotool"),
               QStringList{QStringLiteral("key"), QStringLiteral("--delay"), QStringLiteral("60")} + keys)
               .exitCode == 0;
}

bool TrayDesktop::screenshot(const QString& file) const
{
    return run(QStringLiteral("import"), {QStringLiteral("-window"), QStringLiteral("root"), file})
               .exitCode == 0;
}

TrayDesktop::Window TrayDesktop::waitForTrayIcon(qint64 pid, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        const Window icon = trayIconOf(pid);
        if (!icon.id.isEmpty())
            return icon;
        QTest::qWait(50);
    }
    return Window();
}

TrayDesktop::Window TrayDesktop::popupOf(qint64 pid, int minHeight) const
{
    for (const Window& w : visibleWindows(pid)) {
        if (w.height >= minHeight && w.width > 60)
            return w;
    }
    return Window();
}

bool TrayDesktop::useMenu(qint64 pid, const Window& icon, const QStringList& keys) const
{
    // A menu that is still closing would swallow the click.
    QDeadlineTimer closed(10000);
    while (!popupOf(pid, 40).id.isEmpty()) {
        if (closed.hasExpired())
            return false;
        QTest::qWait(50);
    }
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (!click(icon, 3))
            return false;
        QDeadlineTimer deadline(3000);
        while (!deadline.hasExpired()) {
            if (!popupOf(pid, 40).id.isEmpty())
                return keys.isEmpty() || this->keys(keys);
            QTest::qWait(50);
        }
    }
    return false;
}
