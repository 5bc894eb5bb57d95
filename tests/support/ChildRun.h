#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

struct ChildRunOptions
{
    QProcessEnvironment environment; // empty: this process's own
    QString workingDir;
    QByteArray input; // written to its standard input, which is then closed
    int timeoutMs = 60000;
    // Runs this thread's event loop while it waits, so that servers of the
    // test in this thread keep answering the child.
    bool serveEvents = false;
};

// A child program run to its end, with what it wrote. One that does not end
// within the time is killed.
struct ChildRun
{
    bool finished = false; // it ended within the time
    bool crashed = false;  // it ended by a signal
    int exitCode = -1;     // -1 unless it ended normally
    QByteArray out;
    QByteArray err;

    static ChildRun run(const QString& program, const QStringList& args,
                        const ChildRunOptions& options = ChildRunOptions());
};
