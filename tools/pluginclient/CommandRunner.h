#pragma once

#include "Invocation.h"

#include <QString>

#include <cstdio>

// Runs one invocation against traybridge: prints results to `out`, one-line
// messages to `err`, and returns the exit code.
class CommandRunner
{
public:
    CommandRunner(std::FILE* out, std::FILE* err, bool outIsTerminal);

    int run(const Invocation& invocation);

private:
    int runCommand(const Invocation& invocation);
    int runRaw(const Invocation& invocation);
    int runGenerate(const Invocation& invocation);
    void print(const QString& line);
    int fail(int exitCode, const QString& message);

    std::FILE* m_out;
    std::FILE* m_err;
    bool m_outIsTerminal;
};
