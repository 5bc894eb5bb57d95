#include "OpenFilesLimit.h"

namespace tb {

// Sockets are kernel handles on Windows; no per-process descriptor table caps them.
bool raiseOpenFilesLimit()
{
    return true;
}

long long openFilesLimit()
{
    return -1;
}

} // namespace tb
