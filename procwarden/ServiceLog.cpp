#include "ServiceLog.h"

#include <cstdio>
#include <mutex>

namespace {
std::time_t systemClock()
{
    return std::time(nullptr);
}

LogClock g_clock = systemClock;

// Appending seeks to the end and then writes: two threads at once could write
// at the same place, one line over the other.
std::mutex g_writeMutex;
} // namespace

std::string logStamp(std::time_t time)
{
    // The form the C standard gives ctime; Windows' runtime would pad the day with a zero.
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm local{};
    if (!toLocalTime(time, local) || local.tm_wday < 0 || local.tm_wday > 6 || local.tm_mon < 0 ||
        local.tm_mon > 11)
        return std::string();
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.3s %.3s%3d %.2d:%.2d:%.2d %d", days[local.tm_wday],
                  months[local.tm_mon], local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  local.tm_year + 1900);
    return buffer;
}

void setLogClock(LogClock clock)
{
    g_clock = clock ? clock : systemClock;
}

void writeLog(const std::string& message)
{
    const std::lock_guard<std::mutex> lock(g_writeMutex);
    std::FILE* file = openLogForAppend("log.txt");
    if (!file) {
        std::fputs("Unable to open log file.\n", stderr);
        return;
    }
    // One write per line, so that lines of other processes do not interleave.
    const std::string line = "[" + logStamp(g_clock()) + "] " + message + "\n";
    std::fwrite(line.data(), 1, line.size(), file);
    std::fflush(file);
    std::fclose(file);
}
