#pragma once

#include <cstdlib>
#include <string>

// The local control channel of the POSIX service host: a Unix stream socket.
// A client sends one control code as decimal digits and a line feed; the host
// answers with one word and a line feed once the control handler has run, or
// at once when it refuses the control.
namespace controlchannel {
constexpr const char* SocketVariable = "PROCWARDEN_CONTROL_SOCKET";
constexpr const char* DefaultSocket = "/run/procwarden/control.sock";

constexpr const char* ReplyOk = "OK";             // the handler has run
constexpr const char* ReplyDenied = "DENIED";     // the caller is not the service's own user
constexpr const char* ReplyInvalid = "INVALID";   // not a control code (1 to 255)
constexpr const char* ReplyInactive = "INACTIVE"; // the service does not take controls now

// Longest request line, line feed included.
constexpr std::size_t MaxRequest = 16;
// How long the host waits for a client's request.
constexpr int RequestTimeoutMs = 5000;

inline std::string socketPath()
{
    const char* fromEnv = std::getenv(SocketVariable);
    return fromEnv && *fromEnv ? std::string(fromEnv) : std::string(DefaultSocket);
}
} // namespace controlchannel
