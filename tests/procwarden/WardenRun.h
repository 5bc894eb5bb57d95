#pragma once

#include "SettingsStore.h"

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <vector>

// One procwarden run for a test: the real program in a process-id namespace of
// its own (so that its termination walk sees, and can end, only the processes
// the test puts there), with its working directory, settings store, control
// socket and systemd notification socket in a temporary folder.
class WardenRun
{
public:
    WardenRun();
    ~WardenRun();

    // Whether this machine lets a test make process-id namespaces; why not otherwise.
    static bool namespacesAvailable(QString* reason);

    QString dir() const { return m_dir.path(); }
    QString logPath() const { return m_dir.filePath(QStringLiteral("work/log.txt")); }
    QString socketPath() const { return m_dir.filePath(QStringLiteral("run/control.sock")); }
    QString registryRoot() const { return m_dir.filePath(QStringLiteral("registry")); }
    QString keyFolder() const { return SettingsStore::keyFolder(registryRoot()); }

    // The settings value "path_python"; a null text removes it.
    bool setPathPython(const QByteArray& value);

    // Starts procwarden and waits for READY=1; extra wraps the program (e.g. setpriv ...).
    bool start(const QStringList& wrapper = QStringList());
    // The program's process id as this test sees it (0 before start).
    qint64 wardenPid() const { return m_wardenPid; }
    QProcess& process() { return m_process; }
    bool waitForExit(int timeoutMs);
    // Ends the namespace at once, with everything in it.
    void kill();

    // Runs program inside the namespace; returns once its image (or `image`, for
    // a program that execs another) is in place. env: the program's environment.
    QProcess* startInside(const QString& program, const QStringList& args = QStringList(),
                          const QString& image = QString(),
                          const QProcessEnvironment& env = QProcessEnvironment());
    int insideCount() const { return static_cast<int>(m_inside.size()); }

    // Sends one request line over the control channel; returns the answer line.
    QByteArray sendRaw(const QByteArray& request, int timeoutMs = 30000) const;
    QByteArray sendControl(unsigned code) const { return sendRaw(QByteArray::number(code) + '\n'); }
    // The same from a client run through wrapper (e.g. setpriv as another user).
    QByteArray sendControlAs(const QStringList& wrapper, unsigned code) const;

    // Messages of the log, stamps taken off; lines continuing a message stay as they are.
    QStringList logMessages() const;
    // Messages written after the first `from` ones.
    QStringList logMessagesFrom(int from) const { return logMessages().mid(from); }
    // Whether every line of the log carries a well-formed stamp or continues a message.
    bool stampsWellFormed(QString* bad) const;

    // The systemd notifications received so far.
    QStringList notifications();
    bool waitForNotification(const QString& text, int timeoutMs);

    QProcessEnvironment environment() const;
    QByteArray stderrText();

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    qint64 m_wardenPid = 0;
    int m_notifyFd = -1;
    QStringList m_notifications;
    QByteArray m_stderr;
    std::vector<std::unique_ptr<QProcess>> m_inside;
};

// A private copy of an executable in the given folder, named as asked.
QString privateCopy(const QString& source, const QString& folder, const QString& name);
