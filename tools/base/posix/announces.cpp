// Linux implementation of tools/base/announces.h. The interfaces come from
// getifaddrs. The receiver is one datagram socket bound to the group and the
// port with address reuse, as the library's receivers are bound, so that it
// shares the port with them and is handed nothing but the group's datagrams;
// it takes only its own memberships (IP_MULTICAST_ALL off) and learns each
// datagram's interface from IP_PKTINFO.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/base/announces.h"

namespace dyad::net {
namespace {

std::string dotted(in_addr address) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

std::string failed(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

}  // namespace

bool listInterfaces(std::vector<Interface>* interfaces, std::string* failure) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        *failure = failed("cannot list the interfaces");
        return false;
    }
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
        Interface found;
        found.name = entry->ifa_name;
        found.address = dotted(reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr);
        found.up = (entry->ifa_flags & IFF_UP) != 0;
        found.multicast = (entry->ifa_flags & IFF_MULTICAST) != 0;
        found.loopback = (entry->ifa_flags & IFF_LOOPBACK) != 0;
        found.pointToPoint = (entry->ifa_flags & IFF_POINTOPOINT) != 0;
        interfaces->push_back(found);
    }
    freeifaddrs(list);
    return true;
}

AnnounceReceiver::~AnnounceReceiver() {
    if (socket_ >= 0) close(static_cast<int>(socket_));
}

bool AnnounceReceiver::open(const std::vector<Interface>& interfaces, std::string* failure) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *failure = failed("cannot make a datagram socket");
        return false;
    }
    socket_ = fd;
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(announcePort);
    inet_pton(AF_INET, announceGroup, &group.sin_addr);
    const int on = 1;
    const int off = 0;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off) != 0 ||
        setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0 ||
        bind(fd, reinterpret_cast<const sockaddr*>(&group), sizeof group) != 0) {
        *failure = failed("cannot receive on UDP port 8181");
        return false;
    }
    failure->clear();
    bool joined = false;
    for (const Interface& entry : interfaces) {
        ip_mreq request{};
        request.imr_multiaddr = group.sin_addr;
        inet_pton(AF_INET, entry.address.c_str(), &request.imr_interface);
        // A second address of one interface joins it again: that is no failure.
        const bool member = setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) == 0 ||
                            errno == EADDRINUSE;
        if (!member) failure->append(failed("cannot join the group on " + entry.address) + "; ");
        // An address's label (eth0:1) names its interface (eth0) before the colon.
        const std::string device = entry.name.substr(0, entry.name.find(':'));
        indexes_.push_back(member ? if_nametoindex(device.c_str()) : 0);
        joined = joined || member;
    }
    if (!failure->empty()) failure->resize(failure->size() - 2);
    return joined;
}

int AnnounceReceiver::next(int milliseconds, Arrival* arrival, std::string* failure) {
    const int fd = static_cast<int>(socket_);
    pollfd waiting{fd, POLLIN, 0};
    const int ready = poll(&waiting, 1, milliseconds);
    if (ready == 0 || (ready < 0 && errno == EINTR)) return 0;
    if (ready < 0) {
        *failure = failed("waiting for announces failed");
        return -1;
    }
    char bytes[announceReadLimit];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    sockaddr_in from{};
    iovec data{bytes, sizeof bytes};
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t got = recvmsg(fd, &message, MSG_DONTWAIT);
    if (got < 0) {
        if (errno == EINTR || errno == EAGAIN) return 0;
        *failure = failed("receiving an announce failed");
        return -1;
    }
    unsigned index = 0;
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != IPPROTO_IP || header->cmsg_type != IP_PKTINFO) continue;
        in_pktinfo info{};
        std::memcpy(&info, CMSG_DATA(header), sizeof info);
        index = static_cast<unsigned>(info.ipi_ifindex);
    }
    for (size_t i = 0; i < indexes_.size(); ++i) {
        if (index == 0 || indexes_[i] != index) continue;
        arrival->bytes.assign(bytes, static_cast<size_t>(got));
        arrival->sender = dotted(from.sin_addr);
        arrival->via = i;
        return 1;
    }
    return 0;  // through an interface that this receiver does not listen on
}

}  // namespace dyad::net
