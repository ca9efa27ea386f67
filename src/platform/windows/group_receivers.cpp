// Multicast receivers. A datagram socket cannot be bound to a group address
// here, so each receiver is bound to the wildcard address and the group's
// port, and every such socket of the host may be handed the group's datagrams
// whichever interface they came through. To keep each receiver to its own
// interface, the membership is noted with the interface's index, the socket
// asks for each datagram's arrival information (IP_PKTINFO), and datagrams
// for another destination or from another interface are discarded before
// the receiver is reported readable or read.
#include "platform/windows/win32.h"

#include <iphlpapi.h>
#include <mswsock.h>

#include <mutex>

namespace dyadc::platform {
namespace {

// One process's receivers; the library opens at most one per usable
// interface at a time.
constexpr size_t receiverCapacity = 64;

struct Receiver {
    SocketHandle socket = invalidSocket;
    uint32_t group = 0;  // network byte order
    uint32_t interfaceIndex = 0;
    bool filtered = false;  // the arrival information is available
};

struct Receivers {
    std::mutex lock;
    Receiver entries[receiverCapacity];

    Receiver* find(SocketHandle socket) {
        for (Receiver& entry : entries) {
            if (entry.socket == socket) return &entry;
        }
        return nullptr;
    }
};

Receivers& receivers() {
    static Receivers table;
    return table;
}

// The index of the interface that holds `address`; 0 when none does.
uint32_t interfaceIndexOf(uint32_t address) {
    alignas(MIB_IPADDRTABLE) unsigned char buffer[8192];
    auto* table = reinterpret_cast<MIB_IPADDRTABLE*>(buffer);
    ULONG size = sizeof buffer;
    if (GetIpAddrTable(table, &size, FALSE) != NO_ERROR) return 0;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        if (table->table[i].dwAddr == address) return table->table[i].dwIndex;
    }
    return 0;
}

LPFN_WSARECVMSG receiveMessageFunction(SocketHandle socket) {
    static LPFN_WSARECVMSG function = [socket] {
        LPFN_WSARECVMSG found = nullptr;
        GUID id = WSAID_WSARECVMSG;
        DWORD returned = 0;
        if (WSAIoctl(native(socket), SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &found, sizeof found,
                     &returned, nullptr, nullptr) != 0) {
            return static_cast<LPFN_WSARECVMSG>(nullptr);
        }
        return found;
    }();
    return function;
}

// What a filtered receiver knows about the datagram it looked at.
struct Arrival {
    int64_t count;  // bytes delivered, or -1 with `error`
    int error;
    bool reportable;  // addressed to the group and arrived on the interface
};

// Receives (or, with MSG_PEEK, looks at) the next datagram of a filtered
// receiver without waiting. A datagram longer than the buffer fills it and
// counts as received.
Arrival receiveWithArrival(const Receiver& receiver, void* buffer, size_t length, sockaddr_in* from, DWORD flags) {
    const LPFN_WSARECVMSG receiveMessage = receiveMessageFunction(receiver.socket);
    char control[WSA_CMSG_SPACE(sizeof(IN_PKTINFO))] = {};
    WSABUF data{static_cast<ULONG>(length), static_cast<char*>(buffer)};
    WSAMSG message{};
    message.name = reinterpret_cast<sockaddr*>(from);
    message.namelen = sizeof *from;
    message.lpBuffers = &data;
    message.dwBufferCount = 1;
    message.Control.buf = control;
    message.Control.len = sizeof control;
    message.dwFlags = flags;
    DWORD received = 0;
    Arrival arrival{0, 0, false};
    if (receiveMessage(native(receiver.socket), &message, &received, nullptr, nullptr) != 0) {
        arrival.error = WSAGetLastError();
        if (arrival.error != WSAEMSGSIZE) {
            arrival.count = -1;
            return arrival;
        }
        received = static_cast<DWORD>(length);
    }
    arrival.count = received;
    for (WSACMSGHDR* header = WSA_CMSG_FIRSTHDR(&message); header != nullptr;
         header = WSA_CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != IPPROTO_IP || header->cmsg_type != IP_PKTINFO) continue;
        const auto* info = reinterpret_cast<const IN_PKTINFO*>(WSA_CMSG_DATA(header));
        arrival.reportable = info->ipi_addr.s_addr == receiver.group &&
                             info->ipi_ifindex == receiver.interfaceIndex;
    }
    return arrival;
}

// A copy of the socket's entry; one with `filtered` false when it has none.
Receiver receiverOf(SocketHandle socket) {
    Receivers& table = receivers();
    std::lock_guard<std::mutex> hold(table.lock);
    const Receiver* entry = table.find(socket);
    return entry != nullptr ? *entry : Receiver{};
}

}  // namespace

int noteGroupMembership(SocketHandle socket, uint32_t groupAddress, uint32_t interfaceAddress) {
    const uint32_t index = interfaceIndexOf(interfaceAddress);
    const DWORD on = 1;
    const bool arrivalKnown = index != 0 && receiveMessageFunction(socket) != nullptr &&
                              setsockopt(native(socket), IPPROTO_IP, IP_PKTINFO,
                                         reinterpret_cast<const char*>(&on), sizeof on) == 0;
    Receivers& table = receivers();
    std::lock_guard<std::mutex> hold(table.lock);
    Receiver* entry = table.find(socket);
    if (entry == nullptr) entry = table.find(invalidSocket);
    // Without a place in the table or the arrival information the socket
    // reports what the system hands it.
    if (entry == nullptr) return 0;
    *entry = Receiver{socket, groupAddress, index, arrivalKnown};
    return 0;
}

void forgetGroupReceiver(SocketHandle socket) {
    Receivers& table = receivers();
    std::lock_guard<std::mutex> hold(table.lock);
    if (Receiver* entry = table.find(socket)) *entry = Receiver{};
}

bool groupDatagramWaiting(SocketHandle socket) {
    const Receiver receiver = receiverOf(socket);
    if (!receiver.filtered) return true;
    for (;;) {
        char first = 0;
        sockaddr_in from{};
        const Arrival arrival = receiveWithArrival(receiver, &first, sizeof first, &from, MSG_PEEK);
        // An error is for the receive to report; nothing waiting is not one.
        if (arrival.count < 0) return arrival.error != WSAEWOULDBLOCK;
        if (arrival.reportable) return true;
        receiveWithArrival(receiver, &first, sizeof first, &from, 0);
    }
}

int64_t receiveReportedDatagram(SocketHandle socket, void* buffer, size_t length, SocketAddress* from,
                                int32_t* fromLength) {
    const Receiver receiver = receiverOf(socket);
    for (;;) {
        sockaddr_in system{};
        int64_t count;
        int error = 0;
        if (receiver.filtered) {
            const Arrival arrival = receiveWithArrival(receiver, buffer, length, &system, 0);
            if (arrival.count >= 0 && !arrival.reportable) continue;
            count = arrival.count;
            error = arrival.error;
        } else {
            int systemLength = sizeof system;
            count = recvfrom(native(socket), static_cast<char*>(buffer), static_cast<int>(length), 0,
                             reinterpret_cast<sockaddr*>(&system), &systemLength);
            if (count < 0) {
                error = WSAGetLastError();
                // A datagram longer than the buffer fills it, as elsewhere.
                if (error == WSAEMSGSIZE) count = static_cast<int64_t>(length);
            }
        }
        if (count >= 0) {
            if (from != nullptr) *from = fromSystem(system);
            if (fromLength != nullptr) *fromLength = static_cast<int32_t>(sizeof(SocketAddress));
            return count;
        }
        if (error != WSAEWOULDBLOCK) return recordError(error);
        if (waitFor(socket, Awaited::readable, -1) < 0) return -1;
    }
}

}  // namespace dyadc::platform
