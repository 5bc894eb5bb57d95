#pragma once

#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// One run of the real traybridge program, installed in a folder of its own:
//
//   <root>/app/traybridge        copy of the built program (start.log lands here)
//   <root>/app/ctlrunner         stand-in tool: records its arguments, ends with a set code
//   <root>/files/<value name>    the files the five settings values name
//   <root>/registry/...          the settings store (TRAYBRIDGE_REGISTRY_ROOT)
//   <root>/home, <root>/tmp      HOME, and TMPDIR with XDG_RUNTIME_DIR (the local socket)
//   <root>/xdg                   XDG_CONFIG_DIRS (system-wide autostart entries)
//   <root>/boxes.log             the message boxes (TRAYBRIDGE_BOX_LOG)
//   <root>/opened.log            what the program had the desktop open (TRAYBRIDGE_OPEN_LOG)
//
// The program's diagnostic lines (stderr) are collected as they come.
class ProgramRun : public QObject
{
    Q_OBJECT
public:
    static const QStringList& valueNames();

    ProgramRun();
    ~ProgramRun() override;

    // Installs everything; false with a reason in error().
    bool prepare();
    QString error() const { return m_error; }

    QString root() const { return m_dir.path(); }
    QString appDir() const { return root() + QStringLiteral("/app"); }
    QString ctlrunnerPath() const { return appDir() + QStringLiteral("/ctlrunner"); }
    QString startLogPath() const { return appDir() + QStringLiteral("/start.log"); }
    // The user's state folder (XDG_STATE_HOME/traybridge) and the start log in
    // it, where it lies when the install folder is not writable.
    QString stateDir() const { return root() + QStringLiteral("/home/.local/state/traybridge"); }
    QString stateStartLogPath() const { return stateDir() + QStringLiteral("/start.log"); }
    QString tmpDir() const { return m_tmpDir; }
    // Shares the local socket folder with another run.
    void setTmpDir(const QString& dir) { m_tmpDir = dir; }

    // Settings values: the file a value names, and changes to the store.
    QString valueFile(const QString& name) const;
    void setValue(const QString& name, const QByteArray& value);
    void removeValue(const QString& name);

    // The stand-in tool: records "$*" as one line and ends with exitCode.
    void installCtlrunner(int exitCode);
    QStringList ctlrunnerCalls() const;

    // The launch script the value "path_stable_difusson_bat" names: records
    // that it ran and lives as long as the program does.
    QString launchRecord() const { return root() + QStringLiteral("/launched"); }

    // URLs the program had the desktop open, in order.
    QStringList opened() const;
    QString imagesFolder() const { return root() + QStringLiteral("/home/Documents/AI_TEXTURES/FULL_RES"); }
    QString logFilePath() const { return stateDir() + QStringLiteral("/traybridge.log"); }

    // Message boxes recorded so far, as "kind\ttitle\ttext".
    QStringList boxes() const;

    // Starts the program; wrapper goes in front of it (e.g. {"unshare", "-n"}).
    void start(const QString& platform, const QString& display = QString(), const QStringList& arguments = {},
               const QStringList& wrapper = {});
    qint64 pid() const { return m_process.processId(); }
    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }

    // Diagnostic lines so far, and waits for them while the event loop runs.
    QStringList lines() const { return m_lines; }
    int count(const QString& text) const;
    // Index of the first line at or after from that contains text, or -1.
    int indexOf(const QString& text, int from = 0) const;
    bool waitForLine(const QString& text, int timeoutMs = 20000, int from = 0);
    bool waitForCount(const QString& text, int count, int timeoutMs = 20000);
    bool waitForExit(int timeoutMs = 20000);
    int exitCode() const { return m_process.exitCode(); }
    QProcess::ExitStatus exitStatus() const { return m_process.exitStatus(); }
    // The "index=" values written so far, in order.
    QList<int> iconIndexes(int from = 0) const;
    // Everything written so far, for failure messages.
    QByteArray transcript() const { return m_lines.join(QLatin1Char('\n')).toUtf8(); }

private:
    void readErrors();

    QTemporaryDir m_dir;
    QString m_tmpDir;
    QString m_error;
    QProcess m_process;
    QByteArray m_partial;
    QStringList m_lines;
};
