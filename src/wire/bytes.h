// A block's bytes on the connection, and the one rule for any step on it
// that failed: a connection that can carry nothing more is lost, a call past
// its time limit gives up, and otherwise the step is tried again.
#pragma once

#include <cstddef>
#include <cstdint>

#include "session/results.h"
#include "session/session.h"

namespace dyadc {

// What one step on the connection came to, with the socket error behind a
// failure, so that the caller needs to look nowhere else for it.
struct [[nodiscard]] Transfer {
    // ok; retry: it failed for now; connectionFailed: the connection is lost
    // (the peer closed or reset it, or it carried a line without end);
    // timedOut: it failed and the call's time limit has passed.
    Result result = Result::ok;
    int32_t error = 0;  // the socket error of a failure; 0 when none (or the peer closed)
    size_t count = 0;   // the bytes that moved
};

// The rule for a step that failed with `error` on `socket`: connectionFailed
// when the connection is lost, timedOut when the time limit (0: none) has
// passed, otherwise retry.
Result afterFailure(SocketHandle socket, int32_t error, uint32_t timeoutSeconds);

// Sends `length` bytes of a block in as many system calls as it takes while
// each makes progress. A send that stops part-way reports the bytes that
// left in `count`; sending the rest goes on from there, never sending a
// byte twice.
Transfer sendBlockBytes(SocketHandle socket, const uint8_t* bytes, size_t length, uint32_t timeoutSeconds);

// Receives up to `room` bytes of a block. Near the time limit it waits only
// for what is left of it (`socketTimeoutMs` is the socket's own receive
// time-out); a time-out there is timedOut with errorTimedOut.
Transfer receiveBlockBytes(SocketHandle socket, uint8_t* buffer, size_t room, uint32_t timeoutSeconds,
                           int32_t socketTimeoutMs);

}  // namespace dyadc
