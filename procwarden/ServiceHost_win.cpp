#include "ServiceHost.h"

#include <windows.h>

#include <cstring>
#include <type_traits>
#include <vector>

static_assert(sizeof(ServiceStatus) == sizeof(SERVICE_STATUS), "ServiceStatus must match SERVICE_STATUS");
static_assert(std::is_same<PwDword, DWORD>::value, "PwDword must be DWORD");
static_assert(std::is_same<host::ServiceMainFunction, LPSERVICE_MAIN_FUNCTIONA>::value,
              "ServiceMain must have the dispatcher's signature");
static_assert(std::is_same<host::HandlerFunction, LPHANDLER_FUNCTION>::value,
              "the control handler must have the dispatcher's signature");
static_assert(std::is_same<host::ThreadFunction, LPTHREAD_START_ROUTINE>::value,
              "the thread function must have CreateThread's signature");

namespace host {

bool startServiceCtrlDispatcher(const ServiceTableEntry* table)
{
    std::vector<SERVICE_TABLE_ENTRYA> entries;
    for (const ServiceTableEntry* entry = table;; ++entry) {
        entries.push_back({const_cast<char*>(entry->serviceName), entry->serviceProc});
        if (!entry->serviceName)
            break;
    }
    return StartServiceCtrlDispatcherA(entries.data()) != FALSE;
}

ServiceStatusHandle registerServiceCtrlHandler(const char* serviceName, HandlerFunction handler)
{
    return reinterpret_cast<ServiceStatusHandle>(RegisterServiceCtrlHandlerA(serviceName, handler));
}

bool setServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status)
{
    SERVICE_STATUS win;
    win.dwServiceType = status.dwServiceType;
    win.dwCurrentState = status.dwCurrentState;
    win.dwControlsAccepted = status.dwControlsAccepted;
    win.dwWin32ExitCode = status.dwWin32ExitCode;
    win.dwServiceSpecificExitCode = status.dwServiceSpecificExitCode;
    win.dwCheckPoint = status.dwCheckPoint;
    win.dwWaitHint = status.dwWaitHint;
    return SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle), &win) != FALSE;
}

Handle createEvent()
{
    return CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

bool setEvent(Handle event)
{
    return SetEvent(event) != FALSE;
}

WaitResult waitForSingleObject(Handle object, PwDword milliseconds)
{
    switch (WaitForSingleObject(object, milliseconds)) {
    case WAIT_OBJECT_0:
        return WaitResult::Object0;
    case WAIT_TIMEOUT:
        return WaitResult::Timeout;
    default:
        return WaitResult::Failed;
    }
}

Handle createThread(ThreadFunction function, void* parameter)
{
    return CreateThread(nullptr, 0, function, parameter, 0, nullptr);
}

void sleep(PwDword milliseconds)
{
    Sleep(milliseconds);
}

bool closeHandle(Handle object)
{
    return CloseHandle(object) != FALSE;
}

PwDword getLastError()
{
    return GetLastError();
}

} // namespace host
