#include "ServiceHost.h"
#include "ServiceLog.h"
#include "ServiceMain.h"
#include "SettingsReport.h"
#include "globals.h"

int main(int argc, char** argv)
{
    (void)argc;
    (void)argv;
    installSettingsReport();

    writeLog("My Sample Service: Main: Entry");

    const host::ServiceTableEntry serviceTable[] = {{g_ServiceName, ServiceMain}, {nullptr, nullptr}};
    if (!host::startServiceCtrlDispatcher(serviceTable)) {
        // Taken before logging: opening the log sets the error code of its own.
        const PwDword error = host::getLastError();
        writeLog("My Sample Service: Main: StartServiceCtrlDispatcher returned error");
        return static_cast<int>(error);
    }

    writeLog("My Sample Service: Main: Exit");
    return 0;
}
