#include "ServiceMain.h"

#include "ServiceCtrlHandler.h"
#include "ServiceLog.h"
#include "ServiceWorkerThread.h"
#include "globals.h"

namespace {
void report(PwDword state, PwDword controlsAccepted, PwDword exitCode, PwDword checkPoint)
{
    g_ServiceStatus.dwControlsAccepted = controlsAccepted;
    g_ServiceStatus.dwCurrentState = state;
    g_ServiceStatus.dwWin32ExitCode = exitCode;
    g_ServiceStatus.dwCheckPoint = checkPoint;
    if (!host::setServiceStatus(g_StatusHandle, g_ServiceStatus))
        writeLog("My Sample Service: ServiceMain: SetServiceStatus returned error");
}
} // namespace

void PW_WINAPI ServiceMain(PwDword argc, char** argv)
{
    (void)argc;
    (void)argv;
    writeLog("My Sample Service: ServiceMain: Entry");

    g_StatusHandle = host::registerServiceCtrlHandler(g_ServiceName, ServiceCtrlHandler);
    if (!g_StatusHandle) {
        writeLog("My Sample Service: ServiceMain: RegisterServiceCtrlHandler returned error");
        writeLog("My Sample Service: ServiceMain: Exit");
        return;
    }

    g_ServiceStatus = ServiceStatus{};
    g_ServiceStatus.dwServiceType = svc::Win32OwnProcess;
    report(svc::StateStartPending, 0, 0, 0); // R1

    writeLog("My Sample Service: ServiceMain: Performing Service Start Operations");

    g_ServiceStopEvent = host::createEvent();
    if (!g_ServiceStopEvent) {
        // Taken before logging: opening the log sets the error code of its own.
        const PwDword error = host::getLastError();
        writeLog("My Sample Service: ServiceMain: CreateEvent(g_ServiceStopEvent) returned error");
        report(svc::StateStopped, 0, error, 1); // R2
        writeLog("My Sample Service: ServiceMain: Exit");
        return;
    }

    report(svc::StateRunning, svc::AcceptStop, 0, 0); // R3

    host::Handle worker = host::createThread(ServiceWorkerThread, nullptr);

    writeLog("My Sample Service: ServiceMain: Waiting for Worker Thread to complete");
    host::waitForSingleObject(worker, host::Infinite);
    if (worker)
        host::closeHandle(worker);

    writeLog("My Sample Service: ServiceMain: Worker Thread Stop Event signaled");
    writeLog("My Sample Service: ServiceMain: Performing Cleanup Operations");
    host::closeHandle(g_ServiceStopEvent);

    report(svc::StateStopped, 0, 0, 3); // R5

    writeLog("My Sample Service: ServiceMain: Exit");
}
