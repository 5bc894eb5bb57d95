#pragma once

#include <cstdio>
#include <ctime>
#include <string>

// Appends "[<ctime stamp>] <message>" and a line end to "log.txt" in the
// current directory, opening and closing the file for every line.
void writeLog(const std::string& message);

// The clock of the stamps; std::time by default. Tests set a fixed time.
using LogClock = std::time_t (*)();
void setLogClock(LogClock clock);

// The 24-character stamp of a local time in the form of C's ctime without its
// line break: day of the month padded with a space, hours with a zero.
std::string logStamp(std::time_t time);

// Platform file: opens the log for appending, shared with other writers.
std::FILE* openLogForAppend(const char* fileName);
// Platform file: the local time of a moment, thread-safe; false when out of range.
bool toLocalTime(std::time_t time, std::tm& local);
