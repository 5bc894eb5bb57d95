#include "ServiceLog.h"

#include <share.h>

std::FILE* openLogForAppend(const char* fileName)
{
    // Text mode (line feeds become CR LF), readable and writable by others meanwhile.
    return _fsopen(fileName, "a", _SH_DENYNO);
}

std::string logStamp(std::time_t time)
{
    // The C runtime keeps ctime's buffer per thread.
    const char* text = std::ctime(&time);
    if (!text)
        return std::string();
    std::string stamp(text);
    if (!stamp.empty())
        stamp.pop_back();
    return stamp;
}
