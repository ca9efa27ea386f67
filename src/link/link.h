// The data link after the pairing: no connection stays open between
// transfers, so whenever one is needed the Initiator connects to its Responder
// again and the Responder accepts that connection in a listening window.
#pragma once

#include <cstdint>

#include "link/lease.h"
#include "session/results.h"
#include "session/session.h"
#include "session/time_limit.h"

namespace dyadc {

// Initiator: opens one new connection to the paired Responder (peerAddress,
// port 8181) from the pairing's adapter (localAddress), with send and receive
// time-outs of socketTimeoutMs. The connect has that time-out as a whole
// (or `timeoutMicroseconds` when that is given and shorter: what is left of a
// caller's time limit);
// within it, a connection request without an answer in time is made again
// from a new port (ConnectSchedule; see reconnect.cpp for why). No pause.
// Returns 0 connected (dataSocket, connected 1, linkDown 0); 101 the connect
// timed out; 100 any other failure (linkDown 1, the new socket closed). A
// failed connect gives its socket error in *failure (when not null; left as
// it is when no connect was made).
Result initiatorReconnect(int64_t timeoutMicroseconds = -1, int32_t* failure = nullptr);

// The waits of one reconnection's connection requests. A request without an
// answer after four times the Responder's last answer time (at least a
// quarter of a millisecond) is made again from a new port, with twice the
// patience each time, but only early in the time-out: the request whose
// patience would end after its first quarter is the last and waits for all
// the rest. An answer that comes after its request was given up is lost, so
// when answers come late (a loaded machine or network) the last request
// still has most of the time-out.
class ConnectSchedule {
public:
    struct Wait {
        int64_t microseconds;
        bool last;  // no request follows this one
    };
    ConnectSchedule(int64_t timeoutMicroseconds, int64_t answerMicroseconds);
    // The wait of the next request, made `elapsed` microseconds after the first.
    Wait next(int64_t elapsedMicroseconds);

private:
    int64_t timeout_;
    int64_t patience_;
};

// The pause after a failed reconnection. A refused connection means that the
// Responder is there, between two of its listening windows (a host that does
// something with each block before it calls again): the next attempt follows
// after a tenth of a millisecond, each pause half as long again as the one
// before, up to a second. So the window is met soon after it opens, at most
// half the time already waited (doubling would allow as much again), with few
// attempts. After any other failure (a time-out, an adapter that went away)
// the next attempt follows a second later.
class ReconnectPause {
public:
    // Waits before the next attempt, by the error of the last one, for at most
    // `longestMilliseconds` (what is left of the caller's time limit).
    void wait(int32_t error, int64_t longestMilliseconds = 1000);

private:
    uint32_t nextMicroseconds_ = 100;
};

// The Initiator's way back to its Responder for a sending call that holds
// `hold`: connection attempts (initiatorReconnect) with the ReconnectPause
// between them, until one succeeds or `deadline` passes; with
// `onlyAfterRefusal` an attempt that fails otherwise than by a refusal ends
// the loop too. A failed attempt's close frees the sending mark, so the hold
// keeps it again before the next attempt.
enum class Reconnection { connected, failed, markTaken };
// connected: dataSocket is open; failed: the deadline passed or an attempt
// failed for good; markTaken: another
// process took the sending mark meanwhile (wait for it, then try again).
Reconnection reconnectWithin(SendingHold& hold, const Deadline& deadline, bool onlyAfterRefusal);

// A sending call's way to an open connection: waits (within the time limit)
// until the connection is free for this process, and connects when none is
// open; when another process takes the sending mark while this one
// connects, waits for its block and then goes on. Returns 0 with the
// connection open (*madeHere when this call made it), or 101 when the time
// limit passed first.
Result takeConnection(SendingHold& hold, uint32_t timeoutSeconds, bool* madeHere);

// A receiving call's way to an open connection: while none is open, waits
// for the Initiator's in listening windows (responderRelisten) with a pause
// between them, all ending at the time limit (*madeHere then). Returns 0
// connected, 101 at the limit, 100 when a window could not be opened.
Result awaitConnection(uint32_t timeoutSeconds, bool* madeHere);

// Responder: listens once on localAddress for up to 5 seconds (or the shorter
// `windowMilliseconds`: what is left of a caller's time limit) and accepts the
// paired Initiator's next connection as dataSocket. A connection from any
// other address is closed at once and the window goes on. Returns 0
// connected; 101 nobody connected in the window; 100 the socket could not be
// made, bound or put to listen, or the accept failed. Nothing stays
// listening after the call.
inline constexpr int64_t relistenWindowMilliseconds = 5000;

// After a failed bind of a listener on `address`: when the port was taken by
// another live listener, says in the log what that most likely means.
void explainPortInUse(int32_t error, const SocketAddress& address);
Result responderRelisten(int64_t windowMilliseconds = relistenWindowMilliseconds);

}  // namespace dyadc
