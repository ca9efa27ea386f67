// listUsableInterfaces: an interface is usable when it is up, multicast
// capable, neither a loopback nor a point-to-point link, and (when an address
// mask applies) its dotted address begins with the mask.
#include "rendezvous/interfaces.h"

#include "log/log.h"
#include "session/results.h"

namespace dyadc {

int32_t selectUsableInterfaces(const platform::InterfaceRecord* records, int32_t recordCount,
                               SocketAddress* table) {
    const SharedSession& s = sharedSession();
    int32_t count = 0;
    for (int32_t i = 0; i < recordCount; ++i) {
        const platform::InterfaceRecord& record = records[i];
        const platform::DottedAddress text = platform::dotted(record.address);
        LOG_DETAIL("ipaddr: %s", text.text);
        // The family in the low half and the port as stored in the high half,
        // as they lie in the first four bytes of the address record.
        LOG_DETAIL("raw data is %d", static_cast<int32_t>(record.address.family) |
                                         static_cast<int32_t>(static_cast<uint32_t>(record.address.port) << 16));
        if (s.useAddressMask == 1 && !addressMatchesMask(text.text, s.addressMask)) continue;

        const uint32_t flags = record.flags;
        LOG_DETAIL("%s", (flags & platform::interfaceUp) != 0 ? "up" : "down");
        if ((flags & platform::interfacePointToPoint) != 0) LOG_DETAIL("is point-to-point");
        if ((flags & platform::interfaceLoopback) != 0) LOG_DETAIL("is a loopback iface");
        if ((flags & platform::interfaceBroadcast) != 0) LOG_DETAIL("bcast capable");
        if ((flags & platform::interfaceMulticast) != 0) LOG_DETAIL("multicast capable");

        const bool usable = interfaceUsable(
            (flags & platform::interfaceUp) != 0, (flags & platform::interfaceMulticast) != 0,
            (flags & platform::interfaceLoopback) != 0, (flags & platform::interfacePointToPoint) != 0);
        // The table keeps the first 20 usable interfaces; later ones are left out.
        if (usable && count < interfaceTableSize) table[count++] = record.address;
    }
    return count;
}

Result listUsableInterfaces(SocketHandle /*socket*/, SocketAddress* table, int32_t* count) {
    platform::InterfaceRecord records[interfaceRecordLimit];
    int recordCount = 0;
    if (platform::listInterfaceRecords(records, interfaceRecordLimit, &recordCount) != 0) {
        LOG_BASIC("Failed calling WSAIoctl: error %d", platform::lastSocketError());
        return Result::socketFailed;
    }
    *count = 0;
    LOG_DETAIL("There are %d interfaces:", recordCount);
    *count = selectUsableInterfaces(records, recordCount, table);
    return Result::ok;
}

}  // namespace dyadc
