#pragma once

#include <QString>
#include <QStringList>

#include <sys/types.h>

// A virtual X display (Xvfb on a free display number) with a real tray host
// (trayer) docked at its top right corner. Plain POSIX start-up, so a test can
// make one before its QApplication exists.
class TrayDesktop
{
public:
    TrayDesktop() = default;
    ~TrayDesktop();
    TrayDesktop(const TrayDesktop&) = delete;
    TrayDesktop& operator=(const TrayDesktop&) = delete;

    // Starts Xvfb and trayer and waits until the tray can be used; false with
    // a reason in error().
    bool start(const QString& trayProbe);
    QString error() const { return m_error; }
    // ":N"
    QString display() const { return m_display; }

    // Runs an X tool (xdotool, xwininfo, import) against this display.
    struct ToolResult
    {
        int exitCode = -1;
        QString out;
    };
    ToolResult run(const QString& program, const QStringList& arguments, int timeoutMs = 20000) const;

    // Visible windows of a process with their geometry, from xdotool.
    struct Window
    {
        QString id;
        int x = 0, y = 0, width = 0, height = 0;
    };
    QList<Window> visibleWindows(qint64 pid) const;
    // The process's icon docked in the tray (22x22 inside trayer's panel), or an empty id.
    Window trayIconOf(qint64 pid) const;
    // Waits up to timeoutMs for the process's tray icon; an empty id when none came.
    Window waitForTrayIcon(qint64 pid, int timeoutMs) const;
    // The process's first visible popup (menu or balloon) at least minHeight high, or an empty id.
    Window popupOf(qint64 pid, int minHeight) const;
    // Opens the icon's context menu with a right click (waiting for a closing
    // one to go first, three tries) and types keys into it.
    bool useMenu(qint64 pid, const Window& icon, const QStringList& keys) const;

    bool click(const Window& window, int button) const;
    bool doubleClick(const Window& window) const;
    bool keys(const QStringList& keys) const;
    bool screenshot(const QString& file) const;

private:
    pid_t m_xvfb = 0;
    pid_t m_trayer = 0;
    QString m_display;
    QString m_error;
};
