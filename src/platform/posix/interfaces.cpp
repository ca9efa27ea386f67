// The host's IPv4 interfaces, from getifaddrs, in the order the system gives
// them, with their flags mapped to the library's five interface flags.
#include "platform/posix/posix.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

namespace dyadc::platform {

int listInterfaceRecords(InterfaceRecord* records, int capacity, int* count) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        setLastSocketError(socketErrorFromErrno(errno));
        return -1;
    }
    int filled = 0;
    for (ifaddrs* entry = list; entry != nullptr && filled < capacity; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
        const auto* system = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        InterfaceRecord& record = records[filled++];
        record = InterfaceRecord{};
        record.address.family = addressFamilyIpv4;
        record.address.port = system->sin_port;
        record.address.address = system->sin_addr.s_addr;
        const unsigned flags = entry->ifa_flags;
        if ((flags & IFF_UP) != 0) record.flags |= interfaceUp;
        if ((flags & IFF_BROADCAST) != 0) record.flags |= interfaceBroadcast;
        if ((flags & IFF_LOOPBACK) != 0) record.flags |= interfaceLoopback;
        if ((flags & IFF_POINTOPOINT) != 0) record.flags |= interfacePointToPoint;
        if ((flags & IFF_MULTICAST) != 0) record.flags |= interfaceMulticast;
    }
    freeifaddrs(list);
    *count = filled;
    return 0;
}

}  // namespace dyadc::platform
