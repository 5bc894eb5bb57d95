// Runs a program the way the tray's stop request does and prints the outcome:
//   "start failed <code>" | "started" then "exit <code>" | "exit code failed <code>" | "no process"
// Usage: shell_elevated <program> [arguments...]
#include "ElevatedRun.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char* argv[])
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: shell_elevated <program> [arguments...]\n");
        return 2;
    }
    std::vector<std::string> arguments(argv + 2, argv + argc);
    ElevatedRun run;
    if (!run.start(argv[1], arguments)) {
        std::printf("start failed %lu\n", run.lastError());
        return 0;
    }
    std::printf("started\n");
    if (!run.hasProcess()) {
        std::printf("no process\n");
        return 0;
    }
    run.wait();
    unsigned long code = 0;
    if (run.exitCode(code))
        std::printf("exit %lu\n", code);
    else
        std::printf("exit code failed %lu\n", run.lastError());
    run.close();
    return 0;
}
