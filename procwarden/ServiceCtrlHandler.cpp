#include "ServiceCtrlHandler.h"

#include "CRegedit.h"
#include "ServiceLog.h"
#include "TerminationWalk.h"
#include "globals.h"

#include <string>

void PW_WINAPI ServiceCtrlHandler(PwDword control)
{
    writeLog("[ServiceCtrlHandler] : before switch \n");

    // Read anew at every control, so that a changed setting counts at the next one.
    std::string imagePath;
    std::string read;
    if (CRegedit::ReadPathInstallClient("path_python", read))
        imagePath = read;

    switch (control) {
    case svc::ControlStop:
        writeLog("My Sample Service: ServiceCtrlHandler: SERVICE_CONTROL_STOP Request");
        if (g_ServiceStatus.dwCurrentState != svc::StateRunning)
            break;
        g_ServiceStatus.dwControlsAccepted = 0;
        g_ServiceStatus.dwCurrentState = svc::StateStopPending;
        g_ServiceStatus.dwWin32ExitCode = 0;
        g_ServiceStatus.dwCheckPoint = 4;
        if (!host::setServiceStatus(g_StatusHandle, g_ServiceStatus))
            writeLog("My Sample Service: ServiceCtrlHandler: SetServiceStatus returned error");
        host::setEvent(g_ServiceStopEvent);
        break;
    case MSG_GUI_UPDATE_STATUS:
        writeLog("[ServiceCtrlHandler] : MSG_GUI_UPDATE_STATUS \n");
        terminationWalk(imagePath, false);
        break;
    case MSG_GUI_REQUEST_TO_STOP_STABLE_DIFFUSION:
        writeLog(std::string("[") + "ServiceCtrlHandler" + "] : MSG_GUI_REQUEST_TO_STOP_STABLE_DIFFUSION \n");
        terminationWalk(imagePath, true);
        break;
    case MSG_GUI_REQUEST_TO_LAUNCH_STABLE_DIFFUSION:
        writeLog("[ServiceCtrlHandler] : MSG_GUI_REQUEST_TO_LAUNCH_STABLE_DIFFUSION \n");
        break;
    default:
        break;
    }

    writeLog("My Sample Service: ServiceCtrlHandler: Exit");
}
