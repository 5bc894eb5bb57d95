#include "globals.h"

const char* const g_ServiceName = "stable diffusion service";

ServiceStatusHandle g_StatusHandle = nullptr;
ServiceStatus g_ServiceStatus = {};
host::Handle g_ServiceStopEvent = nullptr;
