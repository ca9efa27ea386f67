// The rules of the rendezvous on the LAN that the library follows and that
// the dyad command's listen follows too, so that it listens where and as the
// library's Initiator does: the announce group, port and datagram, the
// reading of an address mask, and which interfaces are usable. Standard C++
// only: the library builds this file in, and the dyad command links it as a
// small static library of its own (nothing of it is exported).
#pragma once

#include <cstddef>
#include <cstdint>

namespace dyadc {

// The one port of the system: UDP announce, TCP handshake and data.
inline constexpr uint16_t rendezvousPort = 8181;
// The multicast group of the announce (organization-local scope).
inline constexpr const char* announceGroup = "239.192.8.1";
// The most bytes of an announce that the Initiator reads.
inline constexpr size_t announceReadLimit = 100;

// The usable-interface table holds at most this many interfaces; the
// system's list is read for at most interfaceRecordLimit records.
inline constexpr int32_t interfaceTableSize = 20;
inline constexpr int32_t interfaceRecordLimit = 26;

// An address mask has at most 15 characters and 3 in each field; the
// prefix made of it fits 20 bytes with its NUL.
inline constexpr size_t maskTextLimit = 15;
inline constexpr size_t maskFieldLimit = 3;
inline constexpr size_t maskPrefixSize = 20;

// Converts a dotted mask into the prefix that selects interfaces: the fields
// between points (consecutive and leading points make none) are joined
// again with single points, and a run of fields whose number (read as atoi
// reads it) is 0 at the end is cut off, its leading point kept
// (192.168.0.0 gives "192.168."; 10.1.2.3 stays; the first field always
// stays). False for a mask that is empty, longer than 15 characters or with
// a field longer than 3; `prefix` (maskPrefixSize bytes) may then hold the
// fields done before.
bool maskPrefix(const char* mask, char* prefix);

// Whether a dotted address begins with the mask prefix, letter case ignored.
bool addressMatchesMask(const char* dottedAddress, const char* prefix);

// Whether an interface carries the rendezvous: up, multicast capable, and
// neither a loopback nor a point-to-point link.
constexpr bool interfaceUsable(bool up, bool multicast, bool loopback, bool pointToPoint) {
    return up && multicast && !loopback && !pointToPoint;
}

}  // namespace dyadc
