#include "ServiceLog.h"

#include <time.h>

std::FILE* openLogForAppend(const char* fileName)
{
    // "a" opens with O_APPEND: every write lands at the end, whoever else writes.
    return std::fopen(fileName, "ae");
}

bool toLocalTime(std::time_t time, std::tm& local)
{
    return localtime_r(&time, &local) != nullptr;
}
