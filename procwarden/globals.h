#pragma once

#include "ServiceHost.h"
#include "ServiceTypes.h"

// The service's name in the dispatch table and at the handler's registration.
extern const char* const g_ServiceName;

// Shared by ServiceMain, the control handler and the worker thread.
extern ServiceStatusHandle g_StatusHandle;
extern ServiceStatus g_ServiceStatus;
extern host::Handle g_ServiceStopEvent;
