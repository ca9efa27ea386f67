// receiveBlock: the next block from the paired workstation, or the next piece
// of one that is larger than the caller's buffer.
//
// The block in progress lives in the shared Session (blockSize,
// blockBytesReceived, blockType), so that the next call, in whichever process,
// continues it without a header; the final acknowledgement goes to the sender
// only when the block's last byte has arrived:
//
//                 "put" with a length > 0            last byte: "000 Ok"
//       idle -------------------------------> in progress ---------------> idle
//        ^  |  "put" of length 0: "000 OK", "000 Ok"   |
//        |  +------------------+                       | connection lost, or
//        |                     v                       | its process ended
//        +---------------------+-----------------------+ (block discarded)
//
// One call goes through these steps:
//
//   take the turn (wait while another thread or process receives, or another
//   process holds the open connection) -> [in progress] receive bytes
//                    -> [idle] await a connection -> read the header line ->
//                       interpret it (put: go-ahead, then receive bytes, or
//                       refuse it; quit; empty or unknown) -> acknowledge a
//                       complete block
//   -> keep or close the connection by the type -> release the turn
//
// Every call measures its time limit from its own start, and every wait in it
// (a listening window, the pause after it, a read) ends at that limit. A
// connection that another running process made cannot be read here (its
// descriptor means nothing in this process): the call waits, within its
// limit, until that process has closed it. A connection that the peer closed
// or reset while no block is in progress is no failure: it is closed and the
// call waits for the peer's next one. In the middle of a block it ends the
// call with 100 and discards the block; a time-out keeps the block in
// progress for the next call to resume.
#include <cstring>

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

// What one call works with.
struct Call {
    char* firstName;
    char* secondName;
    uint32_t timeoutSeconds;
    uint8_t* buffer;
    uint32_t size;
    int32_t* length;
    int32_t* type;
    DyadProgressCallback progress;
    HeaderCheck acceptHeader;
    uint32_t filled = 0;  // bytes placed in the buffer
    CallEnd end{};        // how the call leaves the connection (end.madeHere: it had to wait for one)
};

// The connection is gone in the middle of a block: close it, drop the block.
Result blockLost(int32_t error) {
    LOG_BASIC("ERROR: Unconnected client.  Socket error %d", error);
    endBlock();
    return connectionLost();
}

// Reads the next command line into `line`, waiting for a connection first
// when none is open. A connection that the peer has closed (or reset) before
// a line is replaced by its next one. Returns 0 with a line, 101 or 100.
Result awaitLine(Call& call, char* line) {
    const SharedSession& s = sharedSession();
    for (;;) {
        const Result connected = awaitConnection(call.timeoutSeconds, &call.end.madeHere);
        if (connected != Result::ok) return connected;
        const LineResult read = receiveLine(s.dataSocket, line, headerReadSize,
                                            Deadline::limitOrAfter(call.timeoutSeconds, s.socketTimeoutMs));
        if (read == LineRead::complete) return Result::ok;
        const int32_t error = read.error;
        const Result next = afterFailure(s.dataSocket, error, call.timeoutSeconds);
        if (next == Result::connectionFailed) {
            if (error == platform::errorMessageTooLong) {
                LOG_BASIC("ERROR: Unconnected client.  Socket error %d", error);
            } else {
                LOG_DETAIL("The peer closed the connection; waiting for its next one");
            }
            closeConnection();
            continue;
        }
        if (next == Result::timedOut) {
            if (error == platform::errorTimedOut) {
                LOG_BASIC("ERROR: Receive Timeout Expired.  Socket error %d", error);
                return Result::timedOut;
            }
            LOG_BASIC("ERROR: Unconnected client.  Socket error %d", error);
            closeConnection();
            return Result::connectionFailed;
        }
    }
}

// Receives bytes of the block in progress into the caller's buffer, up to its
// size or the block's end. Returns 0, or 101/100 when the receive failed past
// the time limit (101 keeps the block; 100 drops it with the connection).
Result receiveBytes(Call& call) {
    SharedSession& s = sharedSession();
    while (call.filled < call.size && s.blockBytesReceived < s.blockSize) {
        uint32_t room = call.size - call.filled;
        const uint32_t remaining = s.blockSize - s.blockBytesReceived;
        // Never past the block: what follows it belongs to the next line.
        if (room > remaining) room = remaining;
        const Transfer got = receiveBlockBytes(s.dataSocket, call.buffer + call.filled, room, call.timeoutSeconds,
                                               s.socketTimeoutMs);
        if (got.result == Result::connectionFailed) return blockLost(got.error);
        if (got.result == Result::timedOut) {
            LOG_BASIC("Warning: Receive Timeout Expired.  Socket error %d", got.error);
            return Result::timedOut;
        }
        if (got.result == Result::retry) continue;
        const auto count = static_cast<uint32_t>(got.count);
        call.filled += count;
        s.bytesTransferred += static_cast<double>(count);
        if (call.progress != nullptr) call.progress(s.bytesTransferred);
        blockBytesArrived(count);
    }
    return Result::ok;
}

// Acknowledges a block whose last byte has arrived. Returns the result of
// sending "000 Ok".
Result completeBlock(Call& call) {
    SharedSession& s = sharedSession();
    endBlock();
    if (s.blockType == blockLast) *call.type = blockLast;
    call.end.kind = CallEnd::completed;
    call.end.type = s.blockType;
    return sendLine(s.dataSocket, "%s", replyComplete);
}

// Receives the block in progress (a continuing call, or right after its
// header) and acknowledges it when it is complete.
Result continueBlock(Call& call) {
    SharedSession& s = sharedSession();
    const Result received = receiveBytes(call);
    *call.length = static_cast<int32_t>(call.filled);
    if (received != Result::ok) return received;
    if (s.blockBytesReceived < s.blockSize) return Result::ok;  // more of the block is to come
    return completeBlock(call);
}

// A block refused at its header: no reply, and the connection is closed, so
// that the sender learns at once that the block will not arrive (its call
// ends with 100). Returns 100.
Result refuseBlock() {
    closeConnection();
    return Result::connectionFailed;
}

// Reads and answers the next command line. Returns the call's result; a
// block whose bytes follow is then in progress.
Result startBlock(Call& call) {
    SharedSession& s = sharedSession();
    char line[headerBufferSize];
    const Result read = awaitLine(call, line);
    if (read != Result::ok) return read;

    const ParsedLine parsed = parseCommandLine(line, call.firstName, call.secondName);
    if (parsed.haveLength) *call.length = parsed.length;
    if (parsed.haveType) *call.type = parsed.type;
    // A whole line decides by the type that the caller's variable holds at
    // the end of the call (receiveBlock fills it in).
    if (parsed.kind != ParsedLine::put || parsed.length == 0) call.end.kind = CallEnd::line;
    switch (parsed.kind) {
        case ParsedLine::quit:
            return resultFrom(parsed.quitNumber);
        case ParsedLine::incompletePut:
            return Result::invalid;  // a field is missing: no reply
        case ParsedLine::nothing:
            return Result::ok;
        case ParsedLine::overlongName:
            LOG_BASIC("put refused: a name is longer than %u characters",
                      static_cast<unsigned>(receivedNameLimit));
            return refuseBlock();
        case ParsedLine::put:
            break;
    }
    if (call.acceptHeader != nullptr && !call.acceptHeader(call.firstName, call.secondName)) return refuseBlock();
    if (sendLine(s.dataSocket, "%s", replyGoAhead) != Result::ok) {
        // The sender sends no byte before its go-ahead: waiting for the
        // block would wait for nothing. No byte of it is taken.
        *call.length = 0;
        return connectionLost();
    }
    if (parsed.length == 0) {
        call.end.kind = CallEnd::completed;
        call.end.type = parsed.type;
        return sendLine(s.dataSocket, "%s", replyComplete);
    }
    beginBlock(parsed.type, static_cast<uint32_t>(parsed.length));
    if (parsed.type == blockLast) *call.type = blockMore;
    return Result::ok;
}

Result receive(Call& call) {
    SharedSession& s = sharedSession();
    if (s.blockSize != 0) {
        if (s.connected == 1) {
            *call.type = blockMore;
            return continueBlock(call);
        }
        endBlock();  // its connection is gone
    }
    const Result started = startBlock(call);
    if (started != Result::ok || s.blockSize == 0) return started;
    return continueBlock(call);
}

}  // namespace

Result receiveBlock(char* firstName, char* secondName, uint32_t timeoutSeconds, void* buffer, uint32_t size,
                    int32_t* length, int32_t* type, DyadProgressCallback progress, HeaderCheck acceptHeader) {
    if (firstName == nullptr || secondName == nullptr || length == nullptr || type == nullptr ||
        (buffer == nullptr && size != 0)) {
        return Result::invalid;
    }
    Call call{firstName, secondName, timeoutSeconds, static_cast<uint8_t*>(buffer), size, length,
              type,      progress,   acceptHeader};
    // The buffer holds the received bytes followed by zeros when the call
    // returns. Clearing only what was not received on the way out leaves the
    // same bytes as clearing all at the start, without writing a large buffer
    // twice for every block.
    struct ClearTail {
        const Call& call;
        ~ClearTail() {
            if (call.size > call.filled) std::memset(call.buffer + call.filled, 0, call.size - call.filled);
        }
    } clearTail{call};
    LOG_DETAIL("IN RECIEVE DATABLOCK");

    startOperation();
    ReceivingHold hold;
    if (hold.take(timeoutSeconds) != Result::ok) return Result::timedOut;
    const Result result = receive(call);
    // A call that completed a block keeps or closes the connection by the
    // block's own type, whichever call (and process) accepted the connection:
    // kept for a single block, it would stay with a process that may never
    // receive again. A call that dealt with a whole line decides by the type
    // that the caller's variable holds, closing for a single type only a
    // connection that this call accepted. A failure leaves the connection as
    // it stands, and a piece with more to come keeps it.
    if (call.end.kind == CallEnd::line) call.end.type = *type;
    keepOrClose(call.end);
    return result;
}

}  // namespace dyadc
