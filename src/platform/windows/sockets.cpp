// Winsock 2 behind the platform layer: IPv4 TCP and UDP sockets, select over
// a SelectSet, and the send and receive loops.
//
// Sockets are made with WSASocketA, not inherited by child processes, and
// switched to non-blocking mode at once; every call that platform.h describes
// as blocking waits with select first (see win32.h for why). A wait that ends
// on the socket's own receive or send time-out reports 10060, as a timed-out
// call does on every platform.
#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/windows/win32.h"

namespace dyadc::platform {
namespace {

// The most that one receive call is asked to move.
constexpr size_t largestCall = 1u << 30;

// The most that one send call is handed. A send on a non-blocking socket
// here may take the whole buffer at once, copying all of it into the
// system's memory before its first byte leaves; in pieces, the system holds
// at most a piece beyond its send buffer, copying the next piece overlaps
// sending the last, and a stalled send reports what has really left.
constexpr size_t largestSend = size_t{1} << 20;

int setOption(SocketHandle socket, int level, int name, const void* value, int size) {
    if (setsockopt(native(socket), level, name, static_cast<const char*>(value), size) != 0)
        return recordFailure();
    return 0;
}

int setBoolOption(SocketHandle socket, int level, int name) {
    const BOOL on = TRUE;
    return setOption(socket, level, name, &on, sizeof on);
}

int setTimeout(SocketHandle socket, int name, int32_t milliseconds) {
    const DWORD value = milliseconds > 0 ? static_cast<DWORD>(milliseconds) : 0;
    return setOption(socket, SOL_SOCKET, name, &value, sizeof value);
}

int32_t timeoutOf(SocketHandle socket, int name) {
    DWORD value = 0;
    int size = sizeof value;
    if (getsockopt(native(socket), SOL_SOCKET, name, reinterpret_cast<char*>(&value), &size) != 0 || value == 0) {
        return -1;
    }
    return value > static_cast<DWORD>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(value);
}

bool makeNonBlocking(SocketHandle socket) {
    u_long on = 1;
    return ioctlsocket(native(socket), FIONBIO, &on) == 0;
}

// A new socket, not inherited by child processes and non-blocking.
SocketHandle openSocket(int type, int protocol, uint32_t flags) {
    SOCKET handle = WSASocketA(AF_INET, type, protocol, nullptr, 0, flags | WSA_FLAG_NO_HANDLE_INHERIT);
    if (handle == INVALID_SOCKET) {
        recordFailure();
        return invalidSocket;
    }
    const auto socket = static_cast<SocketHandle>(handle);
    if (!makeNonBlocking(socket)) {
        recordFailure();
        closesocket(handle);
        return invalidSocket;
    }
    return socket;
}

timeval timevalOf(int64_t milliseconds) {
    timeval value{};
    value.tv_sec = static_cast<long>(milliseconds / 1000);
    value.tv_usec = static_cast<long>((milliseconds % 1000) * 1000);
    return value;
}

// Receives, or peeks at, up to `length` bytes, waiting for them as long as
// the socket's receive time-out allows.
int64_t receiveWaiting(SocketHandle socket, void* buffer, size_t length, int flags) {
    const int ask = static_cast<int>(length < largestCall ? length : largestCall);
    for (;;) {
        const int got = recv(native(socket), static_cast<char*>(buffer), ask, flags);
        if (got >= 0) return got;
        if (WSAGetLastError() != WSAEWOULDBLOCK) return recordFailure();
        const int ready = waitFor(socket, Awaited::readable, receiveTimeoutOf(socket));
        if (ready < 0) return -1;
        if (ready == 0) return recordError(errorTimedOut);
    }
}

}  // namespace

int startSocketLayer(uint16_t version, SocketLayerRecord* record) {
    WSADATA data{};
    const int result = WSAStartup(version, &data);
    std::memset(record, 0, sizeof *record);
    if (result != 0) return result;
    record->version = data.wVersion;
    record->highVersion = data.wHighVersion;
    std::snprintf(record->description, sizeof record->description, "%s", data.szDescription);
    std::snprintf(record->systemStatus, sizeof record->systemStatus, "%s", data.szSystemStatus);
    record->maxSockets = data.iMaxSockets;
    record->maxDatagram = data.iMaxUdpDg;
    return 0;
}

SocketHandle openStreamSocket(uint32_t flags) {
    return openSocket(SOCK_STREAM, IPPROTO_TCP, flags);
}
SocketHandle openDatagramSocket(uint32_t flags) {
    return openSocket(SOCK_DGRAM, IPPROTO_UDP, flags);
}

int shutdownReceive(SocketHandle socket) {
    if (shutdown(native(socket), SD_RECEIVE) != 0) return recordFailure();
    return 0;
}

int closeHandle(SocketHandle socket) {
    forgetGroupReceiver(socket);
    if (closesocket(native(socket)) != 0) return recordFailure();
    return 0;
}

int setBroadcast(SocketHandle socket) {
    return setBoolOption(socket, SOL_SOCKET, SO_BROADCAST);
}

int setMulticastInterface(SocketHandle socket, uint32_t interfaceAddress) {
    in_addr address{};
    address.s_addr = interfaceAddress;
    return setOption(socket, IPPROTO_IP, IP_MULTICAST_IF, &address, sizeof address);
}

int joinGroup(SocketHandle socket, uint32_t groupAddress, uint32_t interfaceAddress) {
    ip_mreq request{};
    request.imr_multiaddr.s_addr = groupAddress;
    request.imr_interface.s_addr = interfaceAddress;
    if (setOption(socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) != 0) return -1;
    return noteGroupMembership(socket, groupAddress, interfaceAddress);
}

int setReceiveTimeout(SocketHandle socket, int32_t milliseconds) {
    return setTimeout(socket, SO_RCVTIMEO, milliseconds);
}

int setSendTimeout(SocketHandle socket, int32_t milliseconds) {
    return setTimeout(socket, SO_SNDTIMEO, milliseconds);
}

int32_t receiveTimeoutOf(SocketHandle socket) {
    return timeoutOf(socket, SO_RCVTIMEO);
}
int32_t sendTimeoutOf(SocketHandle socket) {
    return timeoutOf(socket, SO_SNDTIMEO);
}

int setNoDelay(SocketHandle socket) {
    return setBoolOption(socket, IPPROTO_TCP, TCP_NODELAY);
}

int bindAddress(SocketHandle socket, const SocketAddress& address) {
    sockaddr_in system = toSystem(address);
    if (bind(native(socket), reinterpret_cast<sockaddr*>(&system), sizeof system) != 0) return recordFailure();
    return 0;
}

int bindListener(SocketHandle socket, const SocketAddress& address) {
    // A plain bind, with no address option: here an address can be bound
    // again while connections of it wait out TIME_WAIT without one.
    // SO_REUSEADDR would let a second live listener take the port, and
    // SO_EXCLUSIVEADDRUSE would refuse every bind of the port until the
    // connections of a closed listener that used it have ended: the Responder
    // closes its data connections itself and listens again at once.
    return bindAddress(socket, address);
}

int bindGroupReceiver(SocketHandle socket, const SocketAddress& group) {
    // A socket cannot be bound to a group address here: it takes the group's
    // port on the wildcard address, and the reports of this socket are kept
    // to the group and to the interface that it joins.
    if (setBoolOption(socket, SOL_SOCKET, SO_REUSEADDR) != 0) return -1;
    SocketAddress wildcard = group;
    wildcard.address = htonl(INADDR_ANY);
    return bindAddress(socket, wildcard);
}

int listenOn(SocketHandle socket) {
    if (listen(native(socket), SOMAXCONN) != 0) return recordFailure();
    return 0;
}

SocketHandle acceptConnection(SocketHandle socket, SocketAddress* peer, int32_t* length) {
    for (;;) {
        sockaddr_in system{};
        int systemLength = sizeof system;
        SOCKET handle = WSAAccept(native(socket), reinterpret_cast<sockaddr*>(&system), &systemLength, nullptr, 0);
        if (handle != INVALID_SOCKET) {
            const auto accepted = static_cast<SocketHandle>(handle);
            SetHandleInformation(reinterpret_cast<HANDLE>(handle), HANDLE_FLAG_INHERIT, 0);
            if (!makeNonBlocking(accepted)) {
                recordFailure();
                closesocket(handle);
                return invalidSocket;
            }
            if (peer != nullptr) *peer = fromSystem(system);
            if (length != nullptr) *length = static_cast<int32_t>(sizeof(SocketAddress));
            return accepted;
        }
        // The pending connection can vanish between the wait and the accept.
        if (WSAGetLastError() != WSAEWOULDBLOCK || waitFor(socket, Awaited::readable, -1) < 0) {
            recordFailure();
            return invalidSocket;
        }
    }
}

namespace {

// Connects, waiting `milliseconds` (-1: without end) for the connection.
int connectWaiting(SocketHandle socket, const SocketAddress& peer, int32_t milliseconds) {
    sockaddr_in system = toSystem(peer);
    if (WSAConnect(native(socket), reinterpret_cast<sockaddr*>(&system), sizeof system, nullptr, nullptr, nullptr,
                   nullptr) == 0) {
        return 0;
    }
    if (WSAGetLastError() != WSAEWOULDBLOCK) return recordFailure();
    // The connection is under way: it is made when the socket turns writable
    // and has failed when it reports an error.
    const int ready = waitFor(socket, Awaited::connected, milliseconds);
    if (ready < 0) return -1;
    if (ready == 0) return recordError(errorTimedOut);
    int error = 0;
    int size = sizeof error;
    if (getsockopt(native(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0) {
        return recordFailure();
    }
    return error == 0 ? 0 : recordError(error);
}

}  // namespace

int connectTo(SocketHandle socket, const SocketAddress& peer) {
    return connectWaiting(socket, peer, sendTimeoutOf(socket));
}

int connectWithin(SocketHandle socket, const SocketAddress& peer, uint32_t microseconds) {
    return connectWaiting(socket, peer, static_cast<int32_t>(wholeMilliseconds(microseconds)));
}

int localAddressOf(SocketHandle socket, SocketAddress* address) {
    sockaddr_in system{};
    int length = sizeof system;
    if (getsockname(native(socket), reinterpret_cast<sockaddr*>(&system), &length) != 0) return recordFailure();
    *address = fromSystem(system);
    return 0;
}

int sendAll(SocketHandle socket, const void* data, size_t length, size_t* sent) {
    const auto* bytes = static_cast<const char*>(data);
    size_t done = 0;
    int result = 0;
    while (done < length) {
        const size_t left = length - done;
        const int count = send(native(socket), bytes + done,
                               static_cast<int>(left < largestSend ? left : largestSend), 0);
        if (count >= 0) {
            done += static_cast<size_t>(count);
            continue;
        }
        if (WSAGetLastError() != WSAEWOULDBLOCK) {
            result = recordFailure();
            break;
        }
        // Nothing more fits: wait for room, for at most the send time-out.
        const int ready = waitFor(socket, Awaited::writable, sendTimeoutOf(socket));
        if (ready <= 0) {
            result = ready < 0 ? -1 : recordError(errorTimedOut);
            break;
        }
    }
    if (sent != nullptr) *sent = done;
    return result;
}

int64_t receiveSome(SocketHandle socket, void* buffer, size_t length) {
    return receiveWaiting(socket, buffer, length, 0);
}

int64_t peekSome(SocketHandle socket, void* buffer, size_t length) {
    return receiveWaiting(socket, buffer, length, MSG_PEEK);
}

int64_t sendDatagram(SocketHandle socket, const void* data, size_t length, const SocketAddress& to) {
    sockaddr_in system = toSystem(to);
    for (;;) {
        const int sent = sendto(native(socket), static_cast<const char*>(data), static_cast<int>(length), 0,
                                reinterpret_cast<sockaddr*>(&system), sizeof system);
        if (sent >= 0) return sent;
        if (WSAGetLastError() != WSAEWOULDBLOCK || waitFor(socket, Awaited::writable, -1) < 0)
            return recordFailure();
    }
}

int64_t receiveDatagram(SocketHandle socket, void* buffer, size_t length, SocketAddress* from,
                        int32_t* fromLength) {
    return receiveReportedDatagram(socket, buffer, length, from, fromLength);
}

int selectReadable(SelectSet* set, int32_t milliseconds) {
    constexpr uint32_t capacity = sizeof set->handles / sizeof set->handles[0];
    static_assert(capacity <= FD_SETSIZE, "a select set must fit the system's");
    const uint32_t count = set->count < capacity ? set->count : capacity;
    const int32_t limit = milliseconds > 0 ? milliseconds : 0;
    const int64_t deadline = monotonicMilliseconds() + limit;
    if (count == 0) {
        // select refuses an empty set here; the wait still takes its time.
        sleepMilliseconds(static_cast<uint32_t>(limit));
        return 0;
    }
    for (;;) {
        int64_t left = deadline - monotonicMilliseconds();
        if (left < 0) left = 0;
        fd_set readable;
        FD_ZERO(&readable);
        for (uint32_t i = 0; i < count; ++i) FD_SET(native(set->handles[i]), &readable);
        timeval wait = timevalOf(left);
        if (select(0, &readable, nullptr, nullptr, &wait) == SOCKET_ERROR) return recordFailure();
        uint32_t kept = 0;
        for (uint32_t i = 0; i < count; ++i) {
            const SocketHandle handle = set->handles[i];
            if (FD_ISSET(native(handle), &readable) && groupDatagramWaiting(handle)) set->handles[kept++] = handle;
        }
        // Datagrams that a group receiver must not report do not end the wait.
        if (kept > 0 || left == 0) {
            set->count = kept;
            return static_cast<int>(kept);
        }
    }
}

int waitFor(SocketHandle socket, Awaited what, int32_t milliseconds) {
    fd_set ready, failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(native(socket), &ready);
    // Only a connection attempt watches the exception set, where its failure
    // shows: on a connection that set also reports urgent data, which no
    // receive or send here would take, so it would never stop being ready.
    FD_SET(native(socket), &failed);
    timeval wait = timevalOf(milliseconds < 0 ? 0 : milliseconds);
    const int result = select(0, what == Awaited::readable ? &ready : nullptr,
                              what == Awaited::readable ? nullptr : &ready,
                              what == Awaited::connected ? &failed : nullptr, milliseconds < 0 ? nullptr : &wait);
    if (result == SOCKET_ERROR) return recordFailure();
    return result > 0 ? 1 : 0;
}

bool connectionBroken(SocketHandle socket) {
    char byte;
    const int got = recv(native(socket), &byte, 1, MSG_PEEK);
    if (got > 0) return false;
    if (got == 0) return true;
    const int error = WSAGetLastError();
    return error != WSAEWOULDBLOCK && (brokenConnectionError(error) || error == WSAENETRESET);
}

bool brokenConnectionError(int32_t error) {
    return error == errorConnectionReset || error == errorConnectionAborted || error == errorNotConnected ||
           error == WSAESHUTDOWN || error == WSAENOTSOCK;
}

int waitReadable(SocketHandle socket, int32_t milliseconds) {
    return waitFor(socket, Awaited::readable, milliseconds < 0 ? 0 : milliseconds);
}

}  // namespace dyadc::platform
