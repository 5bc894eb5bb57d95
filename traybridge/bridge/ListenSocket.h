#pragma once

#include <cstdint>

// Accepting connections on a listening socket that is set non-blocking.
namespace tb {

enum class AcceptOutcome
{
    Accepted,     // descriptor holds the new connection
    NoneWaiting,  // nothing more to accept now
    NoDescriptor, // the process or system has no descriptor left for it
    Failed,       // this one connection failed (reset before accept, ...): try the next
};

struct AcceptResult
{
    AcceptOutcome outcome = AcceptOutcome::Failed;
    std::intptr_t descriptor = -1;
};

AcceptResult acceptConnection(std::intptr_t listenDescriptor);

// Whether a connection waits to be accepted. An accept refused for want of a
// descriptor says nothing about that.
bool connectionWaiting(std::intptr_t listenDescriptor);

} // namespace tb
