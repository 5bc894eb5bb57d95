// Prints the executable file names of all running processes, one per line
// (UTF-8); exits with 1 when no list can be taken.
#include "ProcessList.h"

#include <cstdio>
#include <string>
#include <vector>

int main()
{
    std::vector<std::string> names;
    if (!ProcessList::executableNames(names))
        return 1;
    for (const std::string& name : names)
        std::printf("%s\n", name.c_str());
    return 0;
}
