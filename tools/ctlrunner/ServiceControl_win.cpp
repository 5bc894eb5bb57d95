#include "ServiceControl.h"

#include <windows.h>

namespace {
std::string errorText(DWORD error)
{
    char* text = nullptr;
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result = "error " + std::to_string(error);
    if (length && text) {
        std::string message(text, length);
        while (!message.empty() &&
               (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
            message.pop_back();
        result += ": " + message;
    }
    if (text)
        LocalFree(text);
    return result;
}

ControlResult classify(DWORD error)
{
    switch (error) {
    case ERROR_ACCESS_DENIED:
        return ControlResult::AccessDenied;
    case ERROR_SERVICE_DOES_NOT_EXIST:
    case ERROR_SERVICE_MARKED_FOR_DELETE:
        return ControlResult::NotInstalled;
    case ERROR_SERVICE_NOT_ACTIVE:
    case ERROR_SERVICE_CANNOT_ACCEPT_CTRL:
        return ControlResult::NotRunning;
    default:
        return ControlResult::Failed;
    }
}
} // namespace

ControlResult sendServiceControl(const std::string& serviceName, unsigned control, std::string& detail)
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) {
        const DWORD error = GetLastError();
        detail = errorText(error);
        return classify(error);
    }
    // User-defined codes need only this right; the stop control needs SERVICE_STOP.
    const DWORD access = control == SERVICE_CONTROL_STOP          ? SERVICE_STOP
                         : control == SERVICE_CONTROL_INTERROGATE ? SERVICE_INTERROGATE
                                                                  : SERVICE_USER_DEFINED_CONTROL;
    SC_HANDLE service = OpenServiceA(manager, serviceName.c_str(), access);
    if (!service) {
        const DWORD error = GetLastError();
        CloseServiceHandle(manager);
        detail = errorText(error);
        return classify(error);
    }
    SERVICE_STATUS status{};
    const BOOL sent = ControlService(service, control, &status);
    const DWORD error = sent ? ERROR_SUCCESS : GetLastError();
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    if (sent)
        return ControlResult::Sent;
    detail = errorText(error);
    return classify(error);
}
