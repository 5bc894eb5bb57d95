#include "CommandLine.h"
#include "CommandRunner.h"
#include "ExitCodes.h"
#include "Invocation.h"
#include "Terminal.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>

namespace {

QByteArray readStandardInput()
{
    QFile in;
    if (!in.open(stdin, QIODevice::ReadOnly))
        return QByteArray();
    return in.readAll();
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments();
    args.removeFirst();

    Invocation invocation;
    QString error;
    if (!CommandLine::parse(args, invocation, error, &readStandardInput)) {
        std::fprintf(stderr, "plugin-client: %s\nTry \"plugin-client --help\".\n",
                     error.toUtf8().constData());
        return ExitCodes::usage;
    }
    CommandRunner runner(stdout, stderr, isTerminal(stdout));
    return runner.run(invocation);
}
