#include "ServiceLog.h"

#include <share.h>

std::FILE* openLogForAppend(const char* fileName)
{
    // Text mode (line feeds become CR LF), readable and writable by others meanwhile.
    return _fsopen(fileName, "a", _SH_DENYNO);
}

bool toLocalTime(std::time_t time, std::tm& local)
{
    return localtime_s(&local, &time) == 0;
}
