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

// The 24-character stamp of a local time, as ctime gives it without its line
// break (platform file: ctime is not thread-safe everywhere).
std::string logStamp(std::time_t time);

// Opens the log for appending, shared with other writers (platform file).
std::FILE* openLogForAppend(const char* fileName);
