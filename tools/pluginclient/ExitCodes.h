#pragma once

// Exit codes of plugin-client; each failure has its own.
namespace ExitCodes {
constexpr int ok = 0;
constexpr int usage = 2;
constexpr int notRunning = 3;       // nothing accepts connections at the host and port
constexpr int webUiDown = 4;        // traybridge reports that the web UI refuses connections
constexpr int generationFailed = 5; // traybridge reports any other error text
constexpr int timedOut = 6;         // nothing arrived for the whole --timeout
constexpr int noReply = 7;          // the connection closed early, or the reply is not the expected one
} // namespace ExitCodes
