#include "ServiceLog.h"

#include <time.h>

std::FILE* openLogForAppend(const char* fileName)
{
    // "a" opens with O_APPEND: every write lands at the end, whoever else writes.
    return std::fopen(fileName, "ae");
}

std::string logStamp(std::time_t time)
{
    char buffer[64];
    if (!ctime_r(&time, buffer))
        return std::string();
    std::string stamp(buffer);
    if (!stamp.empty())
        stamp.pop_back();
    return stamp;
}
