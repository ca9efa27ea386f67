// What the Windows implementation of the platform layer shares between its own
// files; nothing outside platform/windows/ includes it (tests may).
//
// Every socket is kept in non-blocking mode from the moment it is made. The
// blocking behaviour that platform.h promises is built here from select waits,
// so that a time-out is always noticed before a receive or send begins: a
// receive or send that ran into SO_RCVTIMEO or SO_SNDTIMEO would leave the
// socket in an undefined state, while the library goes on using a connection
// after a time-out. The time-outs themselves are still set on the socket with
// setsockopt, and read back from it when a wait needs them.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
// After Winsock 2, so that the older Winsock declarations never come in.
#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace dyadc::platform {

// A socket handle as the Winsock calls take it.
inline SOCKET native(SocketHandle socket) {
    return static_cast<SOCKET>(socket);
}

// A span in microseconds as the whole milliseconds that Windows waits count
// in, rounded up so that a wait never ends early.
inline uint32_t wholeMilliseconds(uint32_t microseconds) {
    return microseconds / 1000 + (microseconds % 1000 != 0 ? 1 : 0);
}

// The library's socket address and the system's, one for the other.
inline sockaddr_in toSystem(const SocketAddress& address) {
    sockaddr_in system{};
    system.sin_family = AF_INET;
    system.sin_port = address.port;
    system.sin_addr.s_addr = address.address;
    return system;
}
inline SocketAddress fromSystem(const sockaddr_in& system) {
    SocketAddress address{};
    address.family = static_cast<uint16_t>(system.sin_family);
    address.port = system.sin_port;
    address.address = system.sin_addr.s_addr;
    return address;
}

// Records the calling thread's Winsock error as this thread's last socket
// error and returns -1.
int recordFailure();
// Records `error` and returns -1.
int recordError(int32_t error);

// What a wait waits for: data (or the end of the connection, or an error) to
// read, room to send, or the end of a connection attempt, which a failed
// attempt reports apart from the others.
enum class Awaited { readable, writable, connected };
// Waits until the socket is ready for `what`, for at most `milliseconds`
// (negative: without a limit). 1 ready, 0 when the time passed, -1 when the
// wait itself failed.
int waitFor(SocketHandle socket, Awaited what, int32_t milliseconds);

// The receive or send time-out set on a socket in milliseconds, or -1 when
// none is set (the wait then has no limit).
int32_t receiveTimeoutOf(SocketHandle socket);
int32_t sendTimeoutOf(SocketHandle socket);

// Multicast receivers (group_receivers.cpp). A datagram socket that joined a
// group on one interface reports only the group's datagrams that arrived
// through that interface; noteGroupMembership is called after the join.
int noteGroupMembership(SocketHandle socket, uint32_t groupAddress, uint32_t interfaceAddress);
void forgetGroupReceiver(SocketHandle socket);
// For a group receiver: discards queued datagrams that it must not report and
// tells whether one that it must report is waiting. Any other socket: true.
bool groupDatagramWaiting(SocketHandle socket);
// Receives one datagram that a group receiver may report (waiting for one
// without a limit), or any datagram from another socket. As receiveDatagram.
int64_t receiveReportedDatagram(SocketHandle socket, void* buffer, size_t length, SocketAddress* from,
                                int32_t* fromLength);

}  // namespace dyadc::platform
