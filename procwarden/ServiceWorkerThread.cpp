#include "ServiceWorkerThread.h"

#include "ServiceLog.h"
#include "globals.h"

PwDword PW_WINAPI ServiceWorkerThread(void* parameter)
{
    (void)parameter;
    writeLog("My Sample Service: ServiceWorkerThread: Entry");
    while (host::waitForSingleObject(g_ServiceStopEvent, 0) != host::WaitResult::Object0)
        host::sleep(3000);
    writeLog("My Sample Service: ServiceWorkerThread: Exit");
    return 0;
}
