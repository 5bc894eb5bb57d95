#include "ServiceLog.h"

#include <cstdio>

namespace {
std::time_t systemClock()
{
    return std::time(nullptr);
}

LogClock g_clock = systemClock;
} // namespace

void setLogClock(LogClock clock)
{
    g_clock = clock ? clock : systemClock;
}

void writeLog(const std::string& message)
{
    std::FILE* file = openLogForAppend("log.txt");
    if (!file) {
        std::fputs("Unable to open log file.\n", stderr);
        return;
    }
    // One write per line, so that lines of other threads and processes do not interleave.
    const std::string line = "[" + logStamp(g_clock()) + "] " + message + "\n";
    std::fwrite(line.data(), 1, line.size(), file);
    std::fflush(file);
    std::fclose(file);
}
