#include "ClientRun.h"

#include <QProcess>
#include <QSignalSpy>

QString ClientRun::clientPath()
{
    return qEnvironmentVariable("TB_BIN_DIR") + QStringLiteral("/plugin-client");
}

ClientRun ClientRun::run(const QStringList& args, const QByteArray& input, int waitMs)
{
    qRegisterMetaType<QProcess::ExitStatus>();
    ClientRun result;
    QProcess process;
    QSignalSpy finished(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    process.start(clientPath(), args);
    if (!process.waitForStarted())
        return result;
    process.write(input);
    process.closeWriteChannel();
    if (!finished.wait(waitMs)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.finished = process.exitStatus() == QProcess::NormalExit;
    result.exitCode = process.exitCode();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}
