// The usable-interface list: the host's IPv4 interfaces on which multicast can
// be used, restricted by the address mask when one applies. Both sides of the
// pairing read it at the start of every cycle.
#pragma once

#include <cstdint>

#include "session/results.h"
#include "session/session.h"

namespace dyadc {

// The caller's table holds at most this many interfaces; the platform's list
// is read for at most interfaceRecordLimit records.
inline constexpr int32_t interfaceTableSize = 20;
inline constexpr int32_t interfaceRecordLimit = 26;

// Fills `table` and `*count` with the usable interfaces in the platform's
// order (at most 20). Returns 0 when the platform's list was read (the count
// may be 0); 1 when it was not (table and count are left as they were). The
// socket is the caller's open datagram socket.
Result listUsableInterfaces(SocketHandle socket, SocketAddress* table, int32_t* count);

// The selection itself over records already read: writes the usable ones into
// `table` (at most 20) and returns their number.
int32_t selectUsableInterfaces(const platform::InterfaceRecord* records, int32_t recordCount,
                               SocketAddress* table);

// Whether a dotted address begins with the mask prefix, letter case ignored.
bool addressMatchesMask(const char* dottedAddress, const char* mask);

}  // namespace dyadc
