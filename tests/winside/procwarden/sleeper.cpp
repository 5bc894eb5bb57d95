// sleeper MARKER: creates the file MARKER, then sleeps for an hour and ends
// with 7, so that an exit code of 0 can only come from a termination.
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    std::FILE* marker = std::fopen(argv[1], "w");
    if (!marker)
        return 3;
    std::fputs("running\n", marker);
    std::fclose(marker);
    Sleep(3600 * 1000);
    return 7;
}
