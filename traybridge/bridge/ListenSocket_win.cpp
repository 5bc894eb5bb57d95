#include "ListenSocket.h"

#include <winsock2.h>

namespace tb {

AcceptResult acceptConnection(std::intptr_t listenDescriptor)
{
    const SOCKET socket = ::accept(static_cast<SOCKET>(listenDescriptor), nullptr, nullptr);
    if (socket != INVALID_SOCKET)
        return {AcceptOutcome::Accepted, static_cast<std::intptr_t>(socket)};
    switch (::WSAGetLastError()) {
    case WSAEWOULDBLOCK:
        return {AcceptOutcome::NoneWaiting, -1};
    case WSAEMFILE:
    case WSAENOBUFS:
        return {AcceptOutcome::NoDescriptor, -1};
    default:
        return {AcceptOutcome::Failed, -1};
    }
}

bool connectionWaiting(std::intptr_t listenDescriptor)
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(static_cast<SOCKET>(listenDescriptor), &readable);
    timeval now{0, 0};
    return ::select(0, &readable, nullptr, nullptr, &now) > 0;
}

} // namespace tb
