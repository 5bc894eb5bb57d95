#include "ChildRun.h"

#include <QEventLoop>
#include <QProcess>
#include <QTimer>

ChildRun ChildRun::run(const QString& program, const QStringList& args, const ChildRunOptions& options)
{
    ChildRun result;
    QProcess process;
    if (!options.environment.isEmpty())
        process.setProcessEnvironment(options.environment);
    if (!options.workingDir.isEmpty())
        process.setWorkingDirectory(options.workingDir);
    QEventLoop loop;
    QObject::connect(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop,
                     &QEventLoop::quit);
    process.start(program, args);
    if (!process.waitForStarted(options.timeoutMs))
        return result;
    if (!options.input.isEmpty())
        process.write(options.input);
    process.closeWriteChannel();
    if (options.serveEvents) {
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
        guard.start(options.timeoutMs);
        if (process.state() != QProcess::NotRunning)
            loop.exec();
    } else {
        process.waitForFinished(options.timeoutMs);
    }
    const bool done = process.state() == QProcess::NotRunning;
    if (!done) {
        process.kill();
        process.waitForFinished(10000);
        return result;
    }
    result.finished = true;
    result.crashed = process.exitStatus() != QProcess::NormalExit;
    result.exitCode = result.crashed ? -1 : process.exitCode();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}
