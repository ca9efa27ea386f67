// What dyad listen needs from the system's sockets, which the dyadc library
// does not export: this machine's IPv4 interfaces, and a socket that receives
// the announce datagrams (group 239.192.8.1, UDP port 8181) through chosen
// interfaces and tells through which one each arrived. It only receives: it
// never sends, connects or answers, and it shares the port with the
// library's own receivers (address reuse, as they use it), so that it runs
// beside an Initiator of the same machine. posix/announces.cpp implements it
// for Linux, windows/announces.cpp for Windows (Winsock).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "src/rules/lan.h"

namespace dyad::net {

// The announce group and port, and the most bytes of an announce that the
// library's Initiator reads: the library's own rules.
using dyadc::announceGroup;
using dyadc::announceReadLimit;
inline constexpr uint16_t announcePort = dyadc::rendezvousPort;

// One IPv4 address of this machine as the system lists its interfaces.
struct Interface {
    std::string name;     // the interface's name (Linux: eth0); empty on Windows
    std::string address;  // dotted
    bool up = false;
    bool multicast = false;
    bool loopback = false;
    bool pointToPoint = false;
};

// This machine's IPv4 interfaces in the system's order, as the library reads
// them (getifaddrs; SIO_GET_INTERFACE_LIST on Windows). False when the list
// cannot be read (`failure` says why).
bool listInterfaces(std::vector<Interface>* interfaces, std::string* failure);

// One datagram that arrived on the announce group and port.
struct Arrival {
    std::string bytes;   // at most announceReadLimit bytes of it
    std::string sender;  // its source address, dotted
    size_t via;          // the position of its interface among those joined
};

// A socket on the announce port joined to the group through the interfaces
// given to open(); it reports only the group's datagrams that arrive through
// one of them.
class AnnounceReceiver {
public:
    AnnounceReceiver() = default;
    ~AnnounceReceiver();
    AnnounceReceiver(const AnnounceReceiver&) = delete;
    AnnounceReceiver& operator=(const AnnounceReceiver&) = delete;

    // Opens the socket and joins the group through each interface. False
    // when the socket cannot be made or bound, or joins no interface;
    // `failure` then says why, and otherwise names the interfaces that it
    // could not join (empty when it joined them all).
    bool open(const std::vector<Interface>& interfaces, std::string* failure);
    // Waits up to `milliseconds` (-1: without end) for the next datagram.
    // 1 with `arrival` filled; 0 when none came in time, or the one that came
    // is not for this receiver, or a signal ended the wait (the caller asks
    // again with the time it has left); -1 when receiving failed (`failure`
    // says why).
    int next(int milliseconds, Arrival* arrival, std::string* failure);

private:
    int64_t socket_ = -1;
    std::vector<uint32_t> indexes_;  // the system's index of each joined interface (0: not joined)
};

}  // namespace dyad::net
