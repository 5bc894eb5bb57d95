#include "ListenSocket.h"

#include <cerrno>

#include <poll.h>
#include <sys/socket.h>

namespace tb {

AcceptResult acceptConnection(std::intptr_t listenDescriptor)
{
    for (;;) {
        const int descriptor = ::accept4(static_cast<int>(listenDescriptor), nullptr, nullptr, SOCK_CLOEXEC);
        if (descriptor >= 0)
            return {AcceptOutcome::Accepted, descriptor};
        switch (errno) {
        case EINTR:
            continue;
        case EAGAIN:
#if EAGAIN != EWOULDBLOCK
        case EWOULDBLOCK:
#endif
            return {AcceptOutcome::NoneWaiting, -1};
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
            return {AcceptOutcome::NoDescriptor, -1};
        default:
            return {AcceptOutcome::Failed, -1};
        }
    }
}

bool connectionWaiting(std::intptr_t listenDescriptor)
{
    pollfd entry{static_cast<int>(listenDescriptor), POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&entry, 1, 0);
    } while (ready < 0 && errno == EINTR);
    return ready > 0 && (entry.revents & POLLIN) != 0;
}

} // namespace tb
