#pragma once

#include "ServiceTypes.h"

// The service entry the dispatcher calls on a thread of its own.
void PW_WINAPI ServiceMain(PwDword argc, char** argv);
