#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A fresh Wine prefix for one test run, with helpers to run 64-bit Windows
// programs in it. Wine's services stop when the last ordinary Windows process
// of the prefix ends, so tests of a service keep one running (keepAlive()).
class WinePrefix
{
public:
    WinePrefix();
    ~WinePrefix();

    // Creates the prefix (wineboot); false with a reason in error() on failure.
    bool init();
    QString error() const { return m_error; }

    QString path() const { return m_dir.path(); }
    QProcessEnvironment environment() const;

    // Runs a Windows program (a Windows path, a Linux path to an .exe, or a
    // builtin such as "sc" or "reg") and waits up to timeoutMs.
    struct Result
    {
        int exitCode = -1;
        bool finished = false;
        QByteArray out;
        QByteArray err;
    };
    Result run(const QString& program, const QStringList& args, int timeoutMs = 60000,
               const QString& workingDir = QString()) const;

    // Waits until the boot session's wineserver has ended. Services started in
    // the session that wineboot made do not come up; tests of a service call
    // this after init() and before they start one.
    bool settle();

    // Starts a long-running Windows program that keeps the prefix's services alive.
    bool keepAlive();

    // The Windows path (Z:\...) of a Linux path.
    static QString windowsPath(const QString& linuxPath);
    // The Linux path of C:\windows\system32, where services start.
    QString system32() const;

    static QString wineBinary();

private:
    QTemporaryDir m_dir;
    QString m_error;
    qint64 m_keepAlivePid = 0;
};
