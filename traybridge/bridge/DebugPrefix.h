#pragma once

#include <QDebug>

// The two prefixes of the program's diagnostic lines. QDebug puts one blank
// after each piece and writes literal pieces without quotes.
//
//   short: "[", function name, closing piece ("] : ", "] Start ", ...)
//   timed: "[", build time of the source file, "][", function name, "] :"
//
// The function name is Q_FUNC_INFO, so the macros must be expanded in the
// function whose name the line carries; __TIME__ is the build time of the file
// that expands them.
namespace tb {

inline QDebug shortPrefix(QDebug d, const char* function, const char* closing)
{
    d << "[" << function << closing;
    return d;
}

inline QDebug timedPrefix(QDebug d, const char* buildTime, const char* function)
{
    d << "[" << buildTime << "][" << function << "] :";
    return d;
}

} // namespace tb

#define TB_SHORT(closing) ::tb::shortPrefix(qDebug(), Q_FUNC_INFO, closing)
#define TB_TIMED ::tb::timedPrefix(qDebug(), __TIME__, Q_FUNC_INFO)
#define TB_SHORT_CRITICAL(closing) ::tb::shortPrefix(qCritical(), Q_FUNC_INFO, closing)
#define TB_TIMED_CRITICAL ::tb::timedPrefix(qCritical(), __TIME__, Q_FUNC_INFO)
