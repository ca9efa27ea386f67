// Windows implementation of tools/base/announces.h. The interfaces come from the
// socket layer's own list (SIO_GET_INTERFACE_LIST), as the library reads
// them. Windows cannot bind a datagram socket to a group address, so the
// receiver is bound to the wildcard address and the port with address reuse
// (as the library's receivers are); every such socket may be handed the
// group's datagrams from any interface, and other datagrams for the port, so
// it asks for each datagram's destination and interface (IP_PKTINFO, read
// with WSARecvMsg) and reports only the group's datagrams that came through
// an interface it joined.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
#include <mswsock.h>
// clang-format on

#include "tools/base/announces.h"

namespace dyad::net {
namespace {

// The request fails as a whole when the list does not fit, so the buffer
// holds far more interfaces than the library takes.
constexpr size_t listCapacity = 256;

bool startSockets(std::string* failure) {
    static const int started = [] {
        WSADATA data{};
        return WSAStartup(MAKEWORD(2, 2), &data);
    }();
    if (started != 0) *failure = "cannot start Windows Sockets: error " + std::to_string(started);
    return started == 0;
}

std::string failed(const std::string& what) {
    return what + ": Windows Sockets error " + std::to_string(WSAGetLastError());
}

std::string dotted(in_addr address) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

// The system's index of the interface that holds `address`; 0 when none does.
uint32_t interfaceIndexOf(const std::string& address) {
    in_addr wanted{};
    inet_pton(AF_INET, address.c_str(), &wanted);
    alignas(MIB_IPADDRTABLE) unsigned char buffer[16384];
    auto* table = reinterpret_cast<MIB_IPADDRTABLE*>(buffer);
    ULONG size = sizeof buffer;
    if (GetIpAddrTable(table, &size, FALSE) != NO_ERROR) return 0;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        if (table->table[i].dwAddr == wanted.s_addr) return table->table[i].dwIndex;
    }
    return 0;
}

LPFN_WSARECVMSG receiveMessageFunction(SOCKET socket) {
    LPFN_WSARECVMSG found = nullptr;
    GUID id = WSAID_WSARECVMSG;
    DWORD returned = 0;
    if (WSAIoctl(socket, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &found, sizeof found, &returned,
                 nullptr, nullptr) != 0) {
        return nullptr;
    }
    return found;
}

}  // namespace

bool listInterfaces(std::vector<Interface>* interfaces, std::string* failure) {
    if (!startSockets(failure)) return false;
    const SOCKET probe = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (probe == INVALID_SOCKET) {
        *failure = failed("cannot make a datagram socket");
        return false;
    }
    static INTERFACE_INFO list[listCapacity];
    DWORD returned = 0;
    const int result = WSAIoctl(probe, SIO_GET_INTERFACE_LIST, nullptr, 0, list, sizeof list, &returned, nullptr,
                                nullptr);
    if (result != 0) *failure = failed("cannot list the interfaces");
    closesocket(probe);
    if (result != 0) return false;
    for (size_t i = 0; i < returned / sizeof(INTERFACE_INFO); ++i) {
        const INTERFACE_INFO& info = list[i];
        if (info.iiAddress.Address.sa_family != AF_INET) continue;
        Interface found;
        found.address = dotted(info.iiAddress.AddressIn.sin_addr);
        found.up = (info.iiFlags & IFF_UP) != 0;
        found.multicast = (info.iiFlags & IFF_MULTICAST) != 0;
        found.loopback = (info.iiFlags & IFF_LOOPBACK) != 0;
        found.pointToPoint = (info.iiFlags & IFF_POINTTOPOINT) != 0;
        interfaces->push_back(found);
    }
    return true;
}

AnnounceReceiver::~AnnounceReceiver() {
    if (socket_ != -1) closesocket(static_cast<SOCKET>(socket_));
}

bool AnnounceReceiver::open(const std::vector<Interface>& interfaces, std::string* failure) {
    if (!startSockets(failure)) return false;
    const SOCKET handle = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (handle == INVALID_SOCKET) {
        *failure = failed("cannot make a datagram socket");
        return false;
    }
    socket_ = static_cast<int64_t>(handle);
    sockaddr_in wildcard{};
    wildcard.sin_family = AF_INET;
    wildcard.sin_port = htons(announcePort);
    wildcard.sin_addr.s_addr = htonl(INADDR_ANY);
    const DWORD on = 1;
    const auto option = reinterpret_cast<const char*>(&on);
    if (setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, option, sizeof on) != 0 ||
        bind(handle, reinterpret_cast<const sockaddr*>(&wildcard), sizeof wildcard) != 0) {
        *failure = failed("cannot receive on UDP port 8181");
        return false;
    }
    if (setsockopt(handle, IPPROTO_IP, IP_PKTINFO, option, sizeof on) != 0 ||
        receiveMessageFunction(handle) == nullptr) {
        *failure = failed("cannot learn the interface of a datagram");
        return false;
    }
    failure->clear();
    bool joined = false;
    for (const Interface& entry : interfaces) {
        ip_mreq request{};
        inet_pton(AF_INET, announceGroup, &request.imr_multiaddr);
        inet_pton(AF_INET, entry.address.c_str(), &request.imr_interface);
        const bool member = setsockopt(handle, IPPROTO_IP, IP_ADD_MEMBERSHIP,
                                       reinterpret_cast<const char*>(&request), sizeof request) == 0;
        if (!member) failure->append(failed("cannot join the group on " + entry.address) + "; ");
        indexes_.push_back(member ? interfaceIndexOf(entry.address) : 0);
        joined = joined || member;
    }
    if (!failure->empty()) failure->resize(failure->size() - 2);
    return joined;
}

int AnnounceReceiver::next(int milliseconds, Arrival* arrival, std::string* failure) {
    const auto handle = static_cast<SOCKET>(socket_);
    fd_set waiting;
    FD_ZERO(&waiting);
    FD_SET(handle, &waiting);
    timeval limit{milliseconds / 1000, (milliseconds % 1000) * 1000};
    const int ready = select(0, &waiting, nullptr, nullptr, milliseconds < 0 ? nullptr : &limit);
    if (ready == 0) return 0;
    if (ready < 0) {
        *failure = failed("waiting for announces failed");
        return -1;
    }
    char bytes[announceReadLimit];
    char control[WSA_CMSG_SPACE(sizeof(IN_PKTINFO))] = {};
    sockaddr_in from{};
    WSABUF data{static_cast<ULONG>(sizeof bytes), bytes};
    WSAMSG message{};
    message.name = reinterpret_cast<sockaddr*>(&from);
    message.namelen = sizeof from;
    message.lpBuffers = &data;
    message.dwBufferCount = 1;
    message.Control.buf = control;
    message.Control.len = sizeof control;
    DWORD got = 0;
    if (receiveMessageFunction(handle)(handle, &message, &got, nullptr, nullptr) != 0) {
        // A longer datagram fills the buffer, as the library reads it.
        if (WSAGetLastError() != WSAEMSGSIZE) {
            *failure = failed("receiving an announce failed");
            return -1;
        }
        got = sizeof bytes;
    }
    in_addr group{};
    inet_pton(AF_INET, announceGroup, &group);
    for (WSACMSGHDR* header = WSA_CMSG_FIRSTHDR(&message); header != nullptr;
         header = WSA_CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != IPPROTO_IP || header->cmsg_type != IP_PKTINFO) continue;
        const auto* info = reinterpret_cast<const IN_PKTINFO*>(WSA_CMSG_DATA(header));
        if (info->ipi_addr.s_addr != group.s_addr) return 0;  // not an announce
        for (size_t i = 0; i < indexes_.size(); ++i) {
            if (indexes_[i] == 0 || indexes_[i] != info->ipi_ifindex) continue;
            arrival->bytes.assign(bytes, got);
            arrival->sender = dotted(from.sin_addr);
            arrival->via = i;
            return 1;
        }
    }
    return 0;  // through an interface that this receiver does not listen on
}

}  // namespace dyad::net
