#pragma once

#include <string>
#include <vector>

// The executable file names, without folder, of all running processes.
// Standard library only, so that the Windows side builds with MinGW-w64.
class ProcessList
{
public:
    // Fills names (UTF-8) with one entry per process; false when no list can
    // be taken or it holds no entry.
    static bool executableNames(std::vector<std::string>& names);
};
