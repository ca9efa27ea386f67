// sendBlock: one block to the paired workstation, acknowledged only when the
// peer has every byte.
//
// One call waits until no other thread or process of the workstation is using
// the connection (within its time limit), connects when none is open, sends the "put" header, waits for
// the go-ahead, sends the bytes, waits for the final acknowledgement, and then
// keeps or closes the connection by the block type:
//
//   wait for the lease -> connect (if none) -> header -> go-ahead -> bytes ->
//   acknowledgement -> keep or close
//
// A step that fails is repeated until it succeeds or the caller's time limit
// has passed; a connection that the peer closed or reset ends the call at
// once, since nothing sent on it can arrive any more. The one wait that may
// outlast the limit, by a second, is the one for the final acknowledgement:
// once the bytes have left, the receiver may have the block. The bytes go
// out in one piece: a send that stops part-way (the receiver's buffers stayed
// full for longer than the connection's send time-out) goes on from where it
// stopped, never sending a byte twice.
#include "blocks/blocks.h"
#include "link/lease.h"
#include "link/link.h"
#include "log/log.h"
#include "session/results.h"
#include "session/time_limit.h"
#include "wire/line_io.h"
#include "wire/protocol.h"

namespace dyadc {
namespace {

// Gives up on the connection: the result tells a time-out from any other end.
Result giveUp() {
    const Result result = processSession().lastSocketError == platform::errorTimedOut ? Result::timedOut
                                                                                      : Result::connectionFailed;
    (void)connectionLost();  // the result above says more than its 100
    return result;
}

// The step the call is in fails for good: ends the call's use of the
// connection and returns the call's result.
struct Outcome {
    Result result = Result::ok;
    bool ended = false;
    void end(Result value) {
        result = value;
        ended = true;
    }
};

void sendHeader(const char* firstName, const char* secondName, uint32_t length, int32_t type,
                uint32_t timeoutSeconds, Outcome& outcome) {
    SharedSession& s = sharedSession();
    ProcessSession& p = processSession();
    while (sendLine(s.dataSocket, putFormat, firstName, secondName,
                    static_cast<long>(static_cast<int32_t>(length)), type) != Result::ok) {
        if (platform::brokenConnectionError(p.lastSocketError)) return outcome.end(connectionLost());
        if (timeLimitPassed(timeoutSeconds)) {
            LOG_BASIC("send() failed in Put rc=%d", p.lastSocketError);
            return outcome.end(giveUp());
        }
        platform::sleepMilliseconds(static_cast<uint32_t>(waitWithinLimit(timeoutSeconds, 1000)));
    }
}

// What a reply is awaited for: the go-ahead before the bytes, or the
// confirmation that every byte arrived.
enum class Awaited { goAhead, confirmation };

// Reads replies until one with code 0 arrives (others are passed over), a
// second at a time (the warning's pace). The go-ahead is awaited no longer
// than the limit. Once the bytes have left, the receiver may confirm them at
// any moment and then has the block: giving up before its confirmation
// could arrive would have the host send the block twice. So the
// confirmation is read whenever it is already there, and awaited for a
// whole second even when the limit passes in the meantime (or passed before,
// in a slow progress function); the call gives up only after a second
// without it past the limit.
void awaitReply(uint32_t timeoutSeconds, Awaited awaited, Outcome& outcome) {
    SharedSession& s = sharedSession();
    for (;;) {
        int32_t code = 0;
        const Deadline wait = awaited == Awaited::confirmation
                                  ? Deadline::after(s.socketTimeoutMs)
                                  : Deadline::limitOrAfter(timeoutSeconds, s.socketTimeoutMs);
        const Result read = readReply(s.dataSocket, &code, wait);
        if (read == Result::ok && code == 0) return;
        if (awaited == Awaited::confirmation) LOG_DETAIL("Warning: No data recived in 1 secs");
        if (read != Result::ok && connectionUnusable(s.dataSocket)) return outcome.end(connectionLost());
        if (timeLimitPassed(timeoutSeconds)) {
            LOG_BASIC("recv() failed in getreply rc=%d", processSession().lastSocketError);
            return outcome.end(giveUp());
        }
    }
}

void sendBytes(const void* data, uint32_t length, uint32_t timeoutSeconds, Outcome& outcome) {
    SharedSession& s = sharedSession();
    ProcessSession& p = processSession();
    const auto* bytes = static_cast<const uint8_t*>(data);
    size_t done = 0;
    while (done < length) {
        size_t sent = 0;
        const int rc = platform::sendAll(s.dataSocket, bytes + done, length - done, &sent);
        done += sent;
        if (rc == 0) break;
        p.lastSocketError = platform::lastSocketError();
        if (platform::brokenConnectionError(p.lastSocketError)) {
            LOG_BASIC("send() failed to transmit data  rc=%d", p.lastSocketError);
            return outcome.end(connectionLost());
        }
        if (timeLimitPassed(timeoutSeconds)) {
            LOG_BASIC("send() failed to transmit data  rc=%d", p.lastSocketError);
            LOG_BASIC("Timeout has expired");
            // The receiver still waits for the rest of this block's bytes:
            // nothing else may follow on this connection.
            return outcome.end(giveUp());
        }
        // Before the first byte has left, the next try waits a second; once
        // some have left, the rest follows at once.
        if (done == 0) platform::sleepMilliseconds(static_cast<uint32_t>(waitWithinLimit(timeoutSeconds, 1000)));
    }
}

}  // namespace

Result sendBlock(const char* firstName, const char* secondName, uint32_t timeoutSeconds, const void* data,
                 uint32_t length, int32_t type, DyadProgressCallback progress) {
    SharedSession& s = sharedSession();
    if (!validHeader(firstName, secondName, length, type) || (data == nullptr && length != 0)) {
        // A header that the receiver would split differently, or cut, would
        // corrupt the transfer: send nothing.
        LOG_BASIC(
            "put refused: names must be non-empty without '|', CR or LF, and the header must fit "
            "one line");
        return Result::connectionFailed;
    }

    startOperation();
    SendingHold hold;
    bool madeHere = false;
    if (takeConnection(hold, timeoutSeconds, &madeHere) != Result::ok) return Result::timedOut;

    Outcome outcome;
    sendHeader(firstName, secondName, length, type, timeoutSeconds, outcome);
    if (!outcome.ended) awaitReply(timeoutSeconds, Awaited::goAhead, outcome);
    if (!outcome.ended) sendBytes(data, length, timeoutSeconds, outcome);
    if (!outcome.ended) {
        s.bytesTransferred += static_cast<double>(length);
        if (progress != nullptr) progress(s.bytesTransferred);
        awaitReply(timeoutSeconds, Awaited::confirmation, outcome);
    }

    keepOrClose(CallEnd{CallEnd::sent, type, madeHere});
    return outcome.result;
}

}  // namespace dyadc
