// exitcode PROGRAM: runs PROGRAM (no arguments), waits for it and prints its
// exit code in full; Wine hands only the low 8 bits to the Linux side.
#include <windows.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    std::string commandLine = std::string("\"") + argv[1] + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info)) {
        std::fprintf(stderr, "cannot start %s: error %lu\n", argv[1], GetLastError());
        return 3;
    }
    WaitForSingleObject(info.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(info.hProcess, &code);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    std::printf("%lu\n", code);
    return 0;
}
