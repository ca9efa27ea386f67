// The two sides of the pairing and the links that follow it.
#pragma once

#include <cstdint>

#include "dyadc.h"
#include "frame/session.h"

namespace dyadc {

// Initiator: opens one new connection to the paired Responder (peerAddress,
// port 8181) from the pairing's adapter (localAddress), with send and receive
// time-outs of socketTimeoutMs. One attempt, no pause. Returns 0 connected
// (dataSocket, connected 1, linkDown 0); 101 the connect timed out; 100 any
// other failure (linkDown 1, the new socket closed).
int32_t initiatorReconnect();

// Responder: listens once on localAddress for up to 5 seconds and accepts the
// paired Initiator's next connection as dataSocket. A connection from any
// other address is closed at once and the window goes on. Returns 0
// connected; 101 nobody connected in the window; 100 the socket could not be
// made, bound or put to listen, or the accept failed. Nothing stays
// listening after the call.
int32_t responderRelisten();

// One Responder attempt: announce, accept, let the host approve the name,
// compare versions, receive the update when the Initiator's is newer.
int32_t responderRendezvous(const char* identifier, uint32_t timeoutSeconds,
                            DyadVerifyCallback verifyCallback);

// One Initiator attempt: find the announce with pairingId, connect, present
// the computer name and the version, send the library when asked.
int32_t initiatorRendezvous(const char* pairingId, uint32_t timeoutSeconds);

// The time limit has passed: a limit is set and more whole seconds than the
// limit have elapsed since this process's operationStart.
bool timeLimitPassed(uint32_t timeoutSeconds);

// Waits up to `seconds` for a socket of one cycle to become readable and
// returns how many did; the set then holds them (in the order added) and is
// recorded in readSet. A failing select is logged and taken as a cycle in
// which nothing arrived.
int waitForCycle(platform::SelectSet& waiting, uint32_t seconds);

// Detail message "On Network Adapter associated with IP address: %s" with the
// local address of a socket.
void logAdapterOf(SocketHandle socket);

}  // namespace dyadc
