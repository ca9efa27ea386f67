// BSD sockets behind the platform layer: IPv4 TCP and UDP, select over a
// SelectSet (implemented with poll, so that no handle value can overflow a
// descriptor bit set), and the send and receive loops. Every send uses
// MSG_NOSIGNAL: a peer that has gone gives an error result, never SIGPIPE.
#include "platform/posix/posix.h"

#include <arpa/inet.h>
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
        value.tv_usec = (milliseconds % 1000) * 1000;
    }
    if (setsockopt(descriptor(socket), SOL_SOCKET, name, &value, sizeof value) != 0) return fail();
    return 0;
}

SocketHandle openSocket(int type) {
    int handle = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (handle < 0) {
        fail();
        return invalidSocket;
    }
    return handle;
}

}  // namespace

uint16_t toNetwork16(uint16_t value) { return htons(value); }
uint32_t toNetwork32(uint32_t value) { return htonl(value); }
uint16_t fromNetwork16(uint16_t value) { return ntohs(value); }
uint32_t fromNetwork32(uint32_t value) { return ntohl(value); }

int parseDottedAddress(const char* text, uint32_t* out) {
    in_addr parsed{};
    if (text == nullptr || inet_pton(AF_INET, text, &parsed) != 1) return -1;
    *out = parsed.s_addr;
    return 0;
}

DottedAddress dotted(uint32_t networkAddress) {
    DottedAddress result{};
    in_addr address{};
    address.s_addr = networkAddress;
    if (inet_ntop(AF_INET, &address, result.text, sizeof result.text) == nullptr) {
        result.text[0] = '\0';
    }
    return result;
}

int startSocketLayer(uint16_t version, SocketLayerRecord* record) {
    std::memset(record, 0, sizeof *record);
    record->version = version;
    record->highVersion = 0x0202;
    std::snprintf(record->description, sizeof record->description, "BSD sockets");
    std::snprintf(record->systemStatus, sizeof record->systemStatus, "Running");
    record->maxSockets = 0xFFFF;
    record->maxDatagram = 65467;
    return 0;
}

SocketHandle openStreamSocket(uint32_t /*flags*/) { return openSocket(SOCK_STREAM); }
SocketHandle openDatagramSocket(uint32_t /*flags*/) { return openSocket(SOCK_DGRAM); }

int shutdownReceive(SocketHandle socket) {
    if (::shutdown(descriptor(socket), SHUT_RD) != 0) return fail();
    return 0;
}

int closeHandle(SocketHandle socket) {
    if (::close(descriptor(socket)) != 0) return fail();
    return 0;
}

int setBroadcast(SocketHandle socket) { return setIntOption(socket, SOL_SOCKET, SO_BROADCAST, 1); }

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
    if (setsockopt(descriptor(socket), IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) != 0) return fail();
    return 0;
}

int setReceiveTimeout(SocketHandle socket, int32_t milliseconds) {
    return setTimeout(socket, SO_RCVTIMEO, milliseconds);
}

int setSendTimeout(SocketHandle socket, int32_t milliseconds) {
    return setTimeout(socket, SO_SNDTIMEO, milliseconds);
}

int setNoDelay(SocketHandle socket) { return setIntOption(socket, IPPROTO_TCP, TCP_NODELAY, 1); }

int bindAddress(SocketHandle socket, const SocketAddress& address) {
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

int connectTo(SocketHandle socket, const SocketAddress& peer) {
    sockaddr_in system = toSystem(peer);
    if (::connect(descriptor(socket), reinterpret_cast<sockaddr*>(&system), sizeof system) != 0) return fail();
    return 0;
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
    while (done < length) {
        ssize_t count = ::send(descriptor(socket), bytes + done, length - done, MSG_NOSIGNAL);
        if (count < 0) {
            if (errno == EINTR) continue;
            result = fail();
            break;
        }
        done += static_cast<size_t>(count);
    }
    if (sent != nullptr) *sent = done;
    return result;
}

int64_t receiveSome(SocketHandle socket, void* buffer, size_t length) {
    ssize_t count;
    do {
        count = ::recv(descriptor(socket), buffer, length, 0);
    } while (count < 0 && errno == EINTR);
    if (count < 0) return fail();
    return count;
}

int64_t peekSome(SocketHandle socket, void* buffer, size_t length) {
    ssize_t count;
    do {
        count = ::recv(descriptor(socket), buffer, length, MSG_PEEK);
    } while (count < 0 && errno == EINTR);
    if (count < 0) return fail();
    return count;
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

int selectReadable(SelectSet* set, uint32_t seconds) {
    constexpr uint32_t capacity = sizeof set->handles / sizeof set->handles[0];
    uint32_t count = set->count < capacity ? set->count : capacity;
    pollfd polls[capacity];
    for (uint32_t i = 0; i < count; ++i) {
        polls[i].fd = descriptor(set->handles[i]);
        polls[i].events = POLLIN;
        polls[i].revents = 0;
    }
    const int64_t deadline = monotonicMilliseconds() + static_cast<int64_t>(seconds) * 1000;
    int ready;
    for (;;) {
        int64_t left = deadline - monotonicMilliseconds();
        if (left < 0) left = 0;
        ready = ::poll(polls, count, static_cast<int>(left));
        if (ready >= 0 || errno != EINTR) break;
    }
    if (ready < 0) return fail();
    uint32_t kept = 0;
    for (uint32_t i = 0; i < count; ++i) {
        // A handle that is not a socket (POLLNVAL) is not readable.
        if ((polls[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) set->handles[kept++] = polls[i].fd;
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
    pollfd one{descriptor(socket), POLLIN, 0};
    const int64_t deadline = monotonicMilliseconds() + milliseconds;
    for (;;) {
        int64_t left = deadline - monotonicMilliseconds();
        if (left < 0) left = 0;
        int ready = ::poll(&one, 1, static_cast<int>(left));
        if (ready > 0) return 1;
        if (ready == 0) return 0;
        if (errno != EINTR) return fail();
    }
}

}  // namespace dyadc::platform
