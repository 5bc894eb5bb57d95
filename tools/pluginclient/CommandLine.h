#pragma once

#include "Invocation.h"

#include <QString>
#include <QStringList>

// Reads plugin-client's arguments (without the program name).
class CommandLine
{
public:
    static constexpr int defaultTimeoutS = 10;
    static constexpr int defaultGenerateTimeoutS = 60;

    // False with a one-line `error` for a usage error. `readStdin` supplies
    // the request of "raw -".
    static bool parse(const QStringList& args, Invocation& invocation, QString& error,
                      QByteArray (*readStdin)() = nullptr);
    static QString usage();
    // Turns \n, \r, \t, \v, \f, \0, \\ and \xHH into their bytes.
    static bool unescape(const QString& text, QByteArray& bytes, QString& error);
};
