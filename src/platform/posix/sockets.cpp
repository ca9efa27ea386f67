// BSD sockets behind the platform layer: IPv4 TCP and UDP, select over a
// SelectSet (implemented with poll, so that no handle value can overflow a
// descriptor bit set), and the send and receive loops. Every send uses
// MSG_NOSIGNAL: a peer that has gone gives an error result, never SIGPIPE.
//
// Signals: a host may receive signals at any rate, with handlers that do not
// restart interrupted calls. Every blocking call here resumes after an
// interruption, and a call on a socket with a send or receive time-out resumes
// only for what is left of that time-out, so that a time-out still ends it on
// time (the system restarts neither the call nor its time-out by itself). A
// connect that a signal interrupts goes on in the system: it is waited for,
// never abandoned.
#include "platform/posix/posix.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace dyadc::platform {
namespace {

int fail() {
    setLastSocketError(socketErrorFromErrno(errno));
    return -1;
}

sockaddr_in toSystem(const SocketAddress& address) {
    sockaddr_in system{};
    system.sin_family = AF_INET;
    system.sin_port = address.port;
    system.sin_addr.s_addr = address.address;
    return system;
}

SocketAddress fromSystem(const sockaddr_in& system) {
    SocketAddress address{};
    address.family = static_cast<uint16_t>(system.sin_family);
    address.port = system.sin_port;
    address.address = system.sin_addr.s_addr;
    return address;
}

int setIntOption(SocketHandle socket, int level, int name, int value) {
    if (setsockopt(descriptor(socket), level, name, &value, sizeof value) != 0) return fail();
    return 0;
}

int setTimeout(SocketHandle socket, int name, int32_t milliseconds) {
    timeval value{};
    if (milliseconds > 0) {
        value.tv_sec = milliseconds / 1000;
        value.tv_usec = static_cast<suseconds_t>(milliseconds % 1000) * 1000;
    }
    if (setsockopt(descriptor(socket), SOL_SOCKET, name, &value, sizeof value) != 0) return fail();
    return 0;
}

// The moment the socket's send or receive time-out (`name`), counted from
// `started`, ends (monotonic microseconds); -1 when it has none.
int64_t timeoutEnd(SocketHandle socket, int name, int64_t started) {
    timeval value{};
    socklen_t length = sizeof value;
    if (getsockopt(descriptor(socket), SOL_SOCKET, name, &value, &length) != 0) return -1;
    const int64_t timeout = static_cast<int64_t>(value.tv_sec) * 1000000 + value.tv_usec;
    return timeout > 0 ? started + timeout : -1;
}

// Waits until one of `count` descriptors is ready for its events or the
// moment `deadline` (monotonic microseconds; -1: no end) passes, resuming
// after signals. Returns how many are ready, 0 when the deadline passed, -1 on
// failure.
int waitUntil(pollfd* polls, nfds_t count, int64_t deadline) {
    for (;;) {
        timespec wait{};
        if (deadline >= 0) {
            const int64_t left = deadline - monotonicMicroseconds();
            if (left > 0)
                wait = timespec{static_cast<time_t>(left / 1000000), static_cast<long>(left % 1000000 * 1000)};
        }
        int ready = ::ppoll(polls, count, deadline >= 0 ? &wait : nullptr, nullptr);
        if (ready > 0) return ready;
        if (ready == 0 && deadline >= 0) return 0;
        if (ready < 0 && errno != EINTR) return fail();
    }
}

// The same for one socket: 1 ready.
int waitUntil(SocketHandle socket, short events, int64_t deadline) {
    pollfd one{descriptor(socket), events, 0};
    return waitUntil(&one, 1, deadline);
}

// The moment `milliseconds` from now (monotonic microseconds); now when it is
// not positive.
int64_t deadlineAfter(int32_t milliseconds) {
    return monotonicMicroseconds() + (milliseconds > 0 ? int64_t{milliseconds} * 1000 : 0);
}

// A call on a socket interrupted by a signal: resumes it for what is left of
// the socket's time-out (`option`, measured from `started`, monotonic
// microseconds). Returns true when the call should be made again; false when
// the time-out has passed (errorTimedOut recorded) or the wait failed.
bool resumeAfterSignal(SocketHandle socket, int option, short events, int64_t started) {
    int ready = waitUntil(socket, events, timeoutEnd(socket, option, started));
    if (ready == 0) setLastSocketError(errorTimedOut);
    return ready > 0;
}

// The most that one send call is handed: a block of many megabytes goes to
// the system in pieces. A stream sent in single sends of 16 MiB was 16 to 25%
// slower than the same bytes in sends of 1 MiB, with more system time on the
// sending side; pieces from 256 KiB to the send buffer's size (up to 4 MiB)
// measured alike, within the spread between runs.
constexpr size_t largestSend = size_t{1} << 20;

SocketHandle openSocket(int type) {
    int handle = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (handle < 0) {
        fail();
        return invalidSocket;
    }
    return handle;
}

}  // namespace

int startSocketLayer(uint16_t version, SocketLayerRecord* record) {
    std::memset(record, 0, sizeof *record);
    record->version = version;
    record->highVersion = 0x0202;
    (void)std::snprintf(record->description, sizeof record->description, "BSD sockets");
    (void)std::snprintf(record->systemStatus, sizeof record->systemStatus, "Running");
    record->maxSockets = 0xFFFF;
    record->maxDatagram = 65467;
    return 0;
}

SocketHandle openStreamSocket(uint32_t /*flags*/) {
    return openSocket(SOCK_STREAM);
}
SocketHandle openDatagramSocket(uint32_t /*flags*/) {
    return openSocket(SOCK_DGRAM);
}

int shutdownReceive(SocketHandle socket) {
    if (::shutdown(descriptor(socket), SHUT_RD) != 0) return fail();
    return 0;
}

int closeHandle(SocketHandle socket) {
    if (::close(descriptor(socket)) != 0) return fail();
    return 0;
}

int setBroadcast(SocketHandle socket) {
    return setIntOption(socket, SOL_SOCKET, SO_BROADCAST, 1);
}

int setMulticastInterface(SocketHandle socket, uint32_t interfaceAddress) {
    in_addr address{};
    address.s_addr = interfaceAddress;
    if (setsockopt(descriptor(socket), IPPROTO_IP, IP_MULTICAST_IF, &address, sizeof address) != 0) return fail();
    return 0;
}

int joinGroup(SocketHandle socket, uint32_t groupAddress, uint32_t interfaceAddress) {
    ip_mreq request{};
    request.imr_multiaddr.s_addr = groupAddress;
    request.imr_interface.s_addr = interfaceAddress;
    if (setsockopt(descriptor(socket), IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) != 0)
        return fail();
    return 0;
}

int setReceiveTimeout(SocketHandle socket, int32_t milliseconds) {
    return setTimeout(socket, SO_RCVTIMEO, milliseconds);
}

int setSendTimeout(SocketHandle socket, int32_t milliseconds) {
    return setTimeout(socket, SO_SNDTIMEO, milliseconds);
}

int setNoDelay(SocketHandle socket) {
    return setIntOption(socket, IPPROTO_TCP, TCP_NODELAY, 1);
}

int bindAddress(SocketHandle socket, const SocketAddress& address) {
    // A socket bound to an adapter for a connection of its own takes its port
    // at the connect, where the system picks one that this destination has
    // not seen lately. Picked here, it may be a port whose last connection
    // the Responder still holds in TIME_WAIT: while no listener is open there,
    // the Responder answers the new connection with an acknowledgement of the
    // old one instead of refusing it, and the connect waits for its own
    // retransmission.
    if (address.port == 0) (void)setIntOption(socket, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, 1);
    sockaddr_in system = toSystem(address);
    if (::bind(descriptor(socket), reinterpret_cast<sockaddr*>(&system), sizeof system) != 0) return fail();
    return 0;
}

int bindListener(SocketHandle socket, const SocketAddress& address) {
    if (setIntOption(socket, SOL_SOCKET, SO_REUSEADDR, 1) != 0) return -1;
    return bindAddress(socket, address);
}

int bindGroupReceiver(SocketHandle socket, const SocketAddress& group) {
    if (setIntOption(socket, SOL_SOCKET, SO_REUSEADDR, 1) != 0) return -1;
    if (setIntOption(socket, IPPROTO_IP, IP_MULTICAST_ALL, 0) != 0) return -1;
    return bindAddress(socket, group);
}

int listenOn(SocketHandle socket) {
    if (::listen(descriptor(socket), SOMAXCONN) != 0) return fail();
    return 0;
}

SocketHandle acceptConnection(SocketHandle socket, SocketAddress* peer, int32_t* length) {
    sockaddr_in system{};
    socklen_t systemLength = sizeof system;
    int handle;
    do {
        handle = ::accept4(descriptor(socket), reinterpret_cast<sockaddr*>(&system), &systemLength, SOCK_CLOEXEC);
    } while (handle < 0 && errno == EINTR);
    if (handle < 0) {
        fail();
        return invalidSocket;
    }
    if (peer != nullptr) *peer = fromSystem(system);
    if (length != nullptr) *length = static_cast<int32_t>(sizeof(SocketAddress));
    return handle;
}

namespace {

// The outcome of a connection attempt under way, waiting for it until
// `deadline` (monotonic microseconds; -1: no end).
int connectOutcome(SocketHandle socket, int64_t deadline) {
    const int ready = waitUntil(socket, POLLOUT, deadline);
    if (ready <= 0) {
        if (ready == 0) setLastSocketError(errorTimedOut);
        return -1;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(descriptor(socket), SOL_SOCKET, SO_ERROR, &error, &length) != 0) return fail();
    if (error == 0) return 0;
    setLastSocketError(socketErrorFromErrno(error));
    return -1;
}

}  // namespace

int connectTo(SocketHandle socket, const SocketAddress& peer) {
    sockaddr_in system = toSystem(peer);
    const int64_t started = monotonicMicroseconds();
    if (::connect(descriptor(socket), reinterpret_cast<sockaddr*>(&system), sizeof system) == 0) return 0;
    if (errno != EINTR) return fail();
    // The system goes on connecting: wait for the outcome within what is left
    // of the send time-out (or without end when there is none).
    return connectOutcome(socket, timeoutEnd(socket, SO_SNDTIMEO, started));
}

int connectWithin(SocketHandle socket, const SocketAddress& peer, uint32_t microseconds) {
    const int handle = descriptor(socket);
    const int flags = fcntl(handle, F_GETFL);
    if (flags < 0 || fcntl(handle, F_SETFL, flags | O_NONBLOCK) != 0) return fail();
    sockaddr_in system = toSystem(peer);
    const int64_t deadline = monotonicMicroseconds() + microseconds;
    int result = 0;
    if (::connect(handle, reinterpret_cast<sockaddr*>(&system), sizeof system) != 0) {
        result = errno == EINPROGRESS || errno == EINTR ? connectOutcome(socket, deadline) : fail();
    }
    // The socket goes on blocking, with its time-outs, as before.
    if (fcntl(handle, F_SETFL, flags) != 0 && result == 0) result = fail();
    return result;
}

int localAddressOf(SocketHandle socket, SocketAddress* address) {
    sockaddr_in system{};
    socklen_t length = sizeof system;
    if (::getsockname(descriptor(socket), reinterpret_cast<sockaddr*>(&system), &length) != 0) return fail();
    *address = fromSystem(system);
    return 0;
}

int sendAll(SocketHandle socket, const void* data, size_t length, size_t* sent) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    size_t done = 0;
    int result = 0;
    int64_t started = monotonicMicroseconds();
    while (done < length) {
        const size_t left = length - done;
        ssize_t count = ::send(descriptor(socket), bytes + done, left < largestSend ? left : largestSend,
                               MSG_NOSIGNAL);
        if (count >= 0) {
            done += static_cast<size_t>(count);
            started = monotonicMicroseconds();  // each call has the whole time-out
            continue;
        }
        if (errno != EINTR) {
            result = fail();
            break;
        }
        if (!resumeAfterSignal(socket, SO_SNDTIMEO, POLLOUT, started)) {
            result = -1;
            break;
        }
    }
    if (sent != nullptr) *sent = done;
    return result;
}

namespace {

int64_t receiveWith(SocketHandle socket, void* buffer, size_t length, int flags) {
    const int64_t started = monotonicMicroseconds();
    for (;;) {
        ssize_t count = ::recv(descriptor(socket), buffer, length, flags);
        if (count >= 0) return count;
        if (errno != EINTR) return fail();
        if (!resumeAfterSignal(socket, SO_RCVTIMEO, POLLIN, started)) return -1;
    }
}

}  // namespace

int64_t receiveSome(SocketHandle socket, void* buffer, size_t length) {
    return receiveWith(socket, buffer, length, 0);
}

int64_t peekSome(SocketHandle socket, void* buffer, size_t length) {
    return receiveWith(socket, buffer, length, MSG_PEEK);
}

int64_t sendDatagram(SocketHandle socket, const void* data, size_t length, const SocketAddress& to) {
    sockaddr_in system = toSystem(to);
    ssize_t sent;
    do {
        sent = ::sendto(descriptor(socket), data, length, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&system),
                        sizeof system);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) return fail();
    return sent;
}

int64_t receiveDatagram(SocketHandle socket, void* buffer, size_t length, SocketAddress* from,
                        int32_t* fromLength) {
    sockaddr_in system{};
    socklen_t systemLength = sizeof system;
    ssize_t count;
    do {
        count = ::recvfrom(descriptor(socket), buffer, length, 0, reinterpret_cast<sockaddr*>(&system),
                           &systemLength);
    } while (count < 0 && errno == EINTR);
    if (count < 0) return fail();
    if (from != nullptr) *from = fromSystem(system);
    if (fromLength != nullptr) *fromLength = static_cast<int32_t>(sizeof(SocketAddress));
    return count;
}

int selectReadable(SelectSet* set, int32_t milliseconds) {
    constexpr uint32_t capacity = sizeof set->handles / sizeof set->handles[0];
    uint32_t count = set->count < capacity ? set->count : capacity;
    pollfd polls[capacity];
    for (uint32_t i = 0; i < count; ++i) {
        polls[i].fd = descriptor(set->handles[i]);
        polls[i].events = POLLIN;
        polls[i].revents = 0;
    }
    if (waitUntil(polls, count, deadlineAfter(milliseconds)) < 0) return -1;
    uint32_t kept = 0;
    for (uint32_t i = 0; i < count; ++i) {
        // A handle that is not a socket (POLLNVAL) is not readable.
        if ((polls[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) set->handles[kept++] = set->handles[i];
    }
    set->count = kept;
    return static_cast<int>(kept);
}

bool connectionBroken(SocketHandle socket) {
    pollfd one{descriptor(socket), static_cast<short>(POLLIN | POLLRDHUP), 0};
    int ready;
    do {
        ready = ::poll(&one, 1, 0);
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0) return false;
    return (one.revents & (POLLERR | POLLHUP | POLLRDHUP | POLLNVAL)) != 0;
}

bool brokenConnectionError(int32_t error) {
    return error == errorConnectionReset || error == errorConnectionAborted || error == errorNotConnected ||
           error == 10058 /* shut down */ || error == 10038 /* not a socket */;
}

int waitReadable(SocketHandle socket, int32_t milliseconds) {
    return waitUntil(socket, POLLIN, deadlineAfter(milliseconds));
}

}  // namespace dyadc::platform
