// The two sides of the pairing: the Responder announces its identifier and
// accepts, the Initiator finds the announce that carries its own and connects.
#pragma once

#include <cstdint>

#include "dyadc.h"
#include "session/results.h"
#include "session/session.h"

namespace dyadc {

// One Responder attempt: announce, accept, let the host approve the name,
// compare versions, receive the update when the Initiator's is newer. An
// update that is no library for this system is removed, and the attempt goes
// on announcing (see answerInitiator).
Result responderRendezvous(const char* identifier, uint32_t timeoutSeconds, DyadVerifyCallback verifyCallback);

// One Initiator attempt: find the announce with pairingId, connect, present
// the computer name and the version, send the library when asked.
Result initiatorRendezvous(const char* pairingId, uint32_t timeoutSeconds);

// The Initiator's part of the handshake on connectSocket: presents the
// computer name and, once it is accepted (dataSocket and paired are set, and
// *nameAccepted), the version. Returns 0 when both were answered
// (*updateAsked: the Responder wants this library); 103 when the name was
// refused (the Session is reset); 101 when the time limit passed or 100 when
// the connection failed while a reply was awaited.
Result presentToResponder(uint32_t timeoutSeconds, bool* nameAccepted, bool* updateAsked);

// The Responder's part of the handshake on dataSocket, whose Initiator sent
// the name line `nameLine` (CR LF included): asks the host, answers, and reads
// the version line (3 seconds at most). Returns 0 with the Initiator's version
// number in *offeredVersion and *updateWanted when its library is newer,
// unless that version is `declinedVersion` (not 0): the one whose update was
// no library for this system, which is answered as an equal one. Returns 103
// when the host refused the name (the Session is reset). The last reply is
// the caller's to send.
Result answerInitiator(char* nameLine, DyadVerifyCallback verifyCallback, double declinedVersion,
                       double* offeredVersion, bool* updateWanted);

// The wait of one Initiator listening cycle: 5 seconds while more than 5 of
// the limit remain, 1 when none remain (always so without a limit), otherwise
// the seconds that remain.
uint32_t initiatorCycleWait(uint32_t timeoutSeconds);

// Lists the usable interfaces into `table` and `*count` through `probe`, and
// while there are none, again every two seconds until the time limit passes.
// Returns ok with at least one, or timedOut.
Result awaitUsableInterfaces(SocketHandle probe, SocketAddress* table, int32_t* count, uint32_t timeoutSeconds);

// Waits up to `milliseconds` for a socket of one cycle to become readable and
// returns how many did; the set then holds them (in the order added) and is
// recorded in readSet. A failing select is logged and taken as a cycle in
// which nothing arrived.
int waitForCycle(platform::SelectSet& waiting, int32_t milliseconds);

}  // namespace dyadc
