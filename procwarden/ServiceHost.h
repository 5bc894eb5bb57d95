#pragma once

#include "ServiceTypes.h"

// The service manager and the kernel objects of the service: the Service
// Control Manager and Win32 objects on Windows (ServiceHost_win.cpp), a
// substitute host elsewhere (ServiceHost_posix.cpp). Each function behaves as
// the Win32 function of the same name.
namespace host {
using Handle = void*;
using ServiceMainFunction = void(PW_WINAPI*)(PwDword argc, char** argv);
using HandlerFunction = void(PW_WINAPI*)(PwDword control);
using ThreadFunction = PwDword(PW_WINAPI*)(void* parameter);

struct ServiceTableEntry
{
    const char* serviceName;
    ServiceMainFunction serviceProc;
};

enum class WaitResult
{
    Object0,
    Timeout,
    Failed
};

constexpr PwDword Infinite = 0xFFFFFFFF;

// The table ends with an entry of two null pointers. Returns once the service has stopped.
bool startServiceCtrlDispatcher(const ServiceTableEntry* table);
ServiceStatusHandle registerServiceCtrlHandler(const char* serviceName, HandlerFunction handler);
bool setServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status);

// Manual reset, initially not signalled, unnamed, default security.
Handle createEvent();
bool setEvent(Handle event);
// Events and threads; a thread is signalled once it has ended.
WaitResult waitForSingleObject(Handle object, PwDword milliseconds);
// Default security and stack size, runs at once; nullptr when it cannot be made.
Handle createThread(ThreadFunction function, void* parameter);
void sleep(PwDword milliseconds);
bool closeHandle(Handle object);
PwDword getLastError();
} // namespace host
