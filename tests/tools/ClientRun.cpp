#include "ClientRun.h"

#include "ChildRun.h"

QString ClientRun::clientPath()
{
    return qEnvironmentVariable("TB_BIN_DIR") + QStringLiteral("/plugin-client");
}

ClientRun ClientRun::run(const QStringList& args, const QByteArray& input, int waitMs)
{
    ChildRunOptions options;
    options.input = input;
    options.timeoutMs = waitMs;
    options.serveEvents = true;
    const ChildRun child = ChildRun::run(clientPath(), args, options);
    ClientRun result;
    result.finished = child.finished && !child.crashed;
    result.exitCode = child.exitCode;
    result.out = child.out;
    result.err = child.err;
    return result;
}
