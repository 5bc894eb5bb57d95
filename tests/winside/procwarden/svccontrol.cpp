// svccontrol CODE: sends CODE to "stable diffusion service", prints the
// outcome as one word and ends with ctlrunner's exit codes.
#include "ServiceControl.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv)
{
    char* end = nullptr;
    const unsigned long code = argc == 2 ? std::strtoul(argv[1], &end, 10) : 0;
    if (argc != 2 || !end || *end || code == 0) {
        std::fprintf(stderr, "usage: svccontrol CODE\n");
        return 1;
    }
    std::string detail;
    const ControlResult result =
        sendServiceControl("stable diffusion service", static_cast<unsigned>(code), detail);
    static const char* const words[] = {"sent", "not-installed", "not-running", "access-denied", "failed"};
    const int index = static_cast<int>(result);
    std::printf("%s\n", words[index]);
    if (!detail.empty())
        std::fprintf(stderr, "%s\n", detail.c_str());
    return index == 0 ? 0 : index + 1;
}
