#include "ProcessExit.h"

#include <cstdio>
#include <cstdlib>

namespace tb {

void endProcess(int exitCode)
{
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(exitCode);
}

} // namespace tb
