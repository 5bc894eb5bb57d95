#pragma once

#include "ServiceTypes.h"

// Polls the stop event every 3000 ms and ends once it is signalled.
PwDword PW_WINAPI ServiceWorkerThread(void* parameter);
