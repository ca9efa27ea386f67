// The usable-interface list: the host's IPv4 interfaces on which multicast can
// be used, restricted by the address mask when one applies. Both sides of the
// pairing read it at the start of every cycle.
#pragma once

#include <cstdint>

#include "rules/lan.h"
#include "session/results.h"
#include "session/session.h"

namespace dyadc {

// The caller's table holds at most interfaceTableSize interfaces; the
// platform's list is read for at most interfaceRecordLimit records; which
// interfaces are usable and how a mask selects them are rules/lan.h's.

// Fills `table` and `*count` with the usable interfaces in the platform's
// order (at most 20). Returns 0 when the platform's list was read (the count
// may be 0); 1 when it was not (table and count are left as they were). The
// socket is the caller's open datagram socket.
Result listUsableInterfaces(SocketHandle socket, SocketAddress* table, int32_t* count);

// The selection itself over records already read: writes the usable ones into
// `table` (at most 20) and returns their number.
int32_t selectUsableInterfaces(const platform::InterfaceRecord* records, int32_t recordCount,
                               SocketAddress* table);

}  // namespace dyadc
