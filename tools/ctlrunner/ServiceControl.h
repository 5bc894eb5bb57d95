#pragma once

#include <string>

// Sends one control code to an installed service and waits until the
// service's control handler has run: through the Service Control Manager on
// Windows, through procwarden's local control channel elsewhere.
enum class ControlResult
{
    Sent,
    NotInstalled,
    NotRunning,
    AccessDenied,
    Failed
};

// detail receives the system's reason when the result is not Sent.
ControlResult sendServiceControl(const std::string& serviceName, unsigned control, std::string& detail);
