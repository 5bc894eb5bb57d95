// ctlrunner SIGNAL_STOP: asks the warden service to end the web UI's Python
// processes (control 145) and ends with 0 once the service has done so.
#include "ServiceControl.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {
constexpr const char* ServiceName = "stable diffusion service";
constexpr unsigned RequestToStop = 145;

enum ExitCode
{
    ExitSent = 0,
    ExitUsage = 1,
    ExitNotInstalled = 2,
    ExitNotRunning = 3,
    ExitAccessDenied = 4,
    ExitFailed = 5
};
} // namespace

int main(int argc, char** argv)
{
    if (argc != 2 || std::strcmp(argv[1], "SIGNAL_STOP") != 0) {
        std::fprintf(stderr,
                     "usage: ctlrunner SIGNAL_STOP\n"
                     "  asks the service \"%s\" to end the web UI's processes\n",
                     ServiceName);
        return ExitUsage;
    }
    std::string detail;
    switch (sendServiceControl(ServiceName, RequestToStop, detail)) {
    case ControlResult::Sent:
        return ExitSent;
    case ControlResult::NotInstalled:
        std::fprintf(stderr, "ctlrunner: the service \"%s\" is not installed (%s)\n", ServiceName,
                     detail.c_str());
        return ExitNotInstalled;
    case ControlResult::NotRunning:
        std::fprintf(stderr, "ctlrunner: the service \"%s\" is not running (%s)\n", ServiceName,
                     detail.c_str());
        return ExitNotRunning;
    case ControlResult::AccessDenied:
        std::fprintf(stderr,
                     "ctlrunner: access denied: no right to send controls to the service \"%s\" (%s)\n",
                     ServiceName, detail.c_str());
        return ExitAccessDenied;
    case ControlResult::Failed:
        break;
    }
    std::fprintf(stderr, "ctlrunner: the control did not reach the service \"%s\" (%s)\n", ServiceName,
                 detail.c_str());
    return ExitFailed;
}
