// The host's IPv4 interfaces from the socket layer's own list
// (SIO_GET_INTERFACE_LIST): 76-byte records of flags, address, broadcast
// address and mask, in the order the system gives them.
#include "platform/windows/win32.h"

namespace dyadc::platform {
namespace {

// The request fails as a whole when the list does not fit its buffer, so the
// buffer holds far more records than the caller takes (the first ones).
constexpr size_t listBufferRecords = 256;
static_assert(sizeof(INTERFACE_INFO) == 76, "an interface record is 76 bytes");

}  // namespace

int listInterfaceRecords(InterfaceRecord* records, int capacity, int* count) {
    // The request needs a socket; a datagram socket of its own serves.
    const SocketHandle socket = openDatagramSocket(0);
    if (socket == invalidSocket) return -1;
    INTERFACE_INFO list[listBufferRecords];
    DWORD returned = 0;
    const int result = WSAIoctl(native(socket), SIO_GET_INTERFACE_LIST, nullptr, 0, list, sizeof list, &returned,
                                nullptr, nullptr);
    if (result != 0) recordFailure();
    closesocket(native(socket));
    if (result != 0) return -1;

    const int available = static_cast<int>(returned / sizeof(INTERFACE_INFO));
    int filled = 0;
    for (int i = 0; i < available && filled < capacity; ++i) {
        const INTERFACE_INFO* info = &list[i];
        const sockaddr_in& system = info->iiAddress.AddressIn;
        InterfaceRecord& record = records[filled++];
        record = InterfaceRecord{};
        record.address = fromSystem(system);
        const ULONG flags = info->iiFlags;
        if ((flags & IFF_UP) != 0) record.flags |= interfaceUp;
        if ((flags & IFF_BROADCAST) != 0) record.flags |= interfaceBroadcast;
        if ((flags & IFF_LOOPBACK) != 0) record.flags |= interfaceLoopback;
        if ((flags & IFF_POINTTOPOINT) != 0) record.flags |= interfacePointToPoint;
        if ((flags & IFF_MULTICAST) != 0) record.flags |= interfaceMulticast;
    }
    *count = filled;
    return 0;
}

}  // namespace dyadc::platform
