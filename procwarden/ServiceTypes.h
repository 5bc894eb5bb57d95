#pragma once

#include <cstdint>

// Types and values of the service interfaces, free of platform headers. On
// Windows they have the layout and calling convention of their Win32
// counterparts, so the entry points pass straight to the Service Control Manager.
#if defined(_WIN32)
#define PW_WINAPI __stdcall
using PwDword = unsigned long;
#else
#define PW_WINAPI
using PwDword = std::uint32_t;
#endif

// SERVICE_STATUS.
struct ServiceStatus
{
    PwDword dwServiceType;
    PwDword dwCurrentState;
    PwDword dwControlsAccepted;
    PwDword dwWin32ExitCode;
    PwDword dwServiceSpecificExitCode;
    PwDword dwCheckPoint;
    PwDword dwWaitHint;
};

using ServiceStatusHandle = void*;

namespace svc {
constexpr PwDword Win32OwnProcess = 0x10;

constexpr PwDword StateStopped = 1;
constexpr PwDword StateStartPending = 2;
constexpr PwDword StateStopPending = 3;
constexpr PwDword StateRunning = 4;

constexpr PwDword AcceptStop = 1;

constexpr PwDword ControlStop = 1;
constexpr PwDword ControlInterrogate = 4;
} // namespace svc
