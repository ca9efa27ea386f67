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
#include "wire/bytes.h"
#include "wire/line_io.h"
#include "wire/protocol.h"

namespace dyadc {
namespace {

// Gives up on the connection after a failure with `error`: the result tells
// a time-out from any other end.
Result giveUp(int32_t error) {
    (void)connectionLost();  // the result below says more than its 100
    return error == platform::errorTimedOut ? Result::timedOut : Result::connectionFailed;
}

Result sendHeader(const char* firstName, const char* secondName, uint32_t length, int32_t type,
                  uint32_t timeoutSeconds) {
    const SharedSession& s = sharedSession();
    for (;;) {
        const Result sent = sendLine(s.dataSocket, putFormat, firstName, secondName,
                                     static_cast<long>(static_cast<int32_t>(length)), type);
        if (sent == Result::ok) return Result::ok;
        const int32_t error = exportedResult(sent);  // a failed send's result is its socket error
        const Result next = afterFailure(s.dataSocket, error, timeoutSeconds);
        if (next == Result::connectionFailed) return connectionLost();
        if (next == Result::timedOut) {
            LOG_BASIC("send() failed in Put rc=%d", error);
            return giveUp(error);
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
Result awaitReply(uint32_t timeoutSeconds, Awaited awaited) {
    const SharedSession& s = sharedSession();
    for (;;) {
        int32_t code = 0;
        const Deadline wait = awaited == Awaited::confirmation
                                  ? Deadline::after(s.socketTimeoutMs)
                                  : Deadline::limitOrAfter(timeoutSeconds, s.socketTimeoutMs);
        const Transfer read = readReply(s.dataSocket, &code, wait);
        if (read.result == Result::ok && code == 0) return Result::ok;
        if (awaited == Awaited::confirmation) LOG_DETAIL("Warning: No data recived in 1 secs");
        // A reply with another code is passed over like a silent second.
        const int32_t error = read.error;
        const Result next = read.result == Result::ok
                                ? (timeLimitPassed(timeoutSeconds) ? Result::timedOut : Result::retry)
                                : afterFailure(s.dataSocket, error, timeoutSeconds);
        if (next == Result::connectionFailed) return connectionLost();
        if (next == Result::timedOut) {
            LOG_BASIC("recv() failed in getreply rc=%d", error);
            return giveUp(error);
        }
    }
}

Result sendBytes(const void* data, uint32_t length, uint32_t timeoutSeconds) {
    const SharedSession& s = sharedSession();
    const auto* bytes = static_cast<const uint8_t*>(data);
    size_t done = 0;
    while (done < length) {
        const Transfer sent = sendBlockBytes(s.dataSocket, bytes + done, length - done, timeoutSeconds);
        done += sent.count;
        if (sent.result == Result::ok) break;
        if (sent.result == Result::connectionFailed) {
            LOG_BASIC("send() failed to transmit data  rc=%d", sent.error);
            return connectionLost();
        }
        if (sent.result == Result::timedOut) {
            LOG_BASIC("send() failed to transmit data  rc=%d", sent.error);
            LOG_BASIC("Timeout has expired");
            // The receiver still waits for the rest of this block's bytes:
            // nothing else may follow on this connection.
            return giveUp(sent.error);
        }
        // Before the first byte has left, the next try waits a second; once
        // some have left, the rest follows at once.
        if (done == 0) platform::sleepMilliseconds(static_cast<uint32_t>(waitWithinLimit(timeoutSeconds, 1000)));
    }
    return Result::ok;
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

    Result result = sendHeader(firstName, secondName, length, type, timeoutSeconds);
    if (result == Result::ok) result = awaitReply(timeoutSeconds, Awaited::goAhead);
    if (result == Result::ok) result = sendBytes(data, length, timeoutSeconds);
    if (result == Result::ok) {
        s.bytesTransferred += static_cast<double>(length);
        if (progress != nullptr) progress(s.bytesTransferred);
        result = awaitReply(timeoutSeconds, Awaited::confirmation);
    }
    keepOrClose(CallEnd{CallEnd::sent, type, madeHere});
    return result;
}

}  // namespace dyadc
