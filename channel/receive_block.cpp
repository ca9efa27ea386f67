// DyadRecvDataBlock: the next block from the paired workstation, or the next
// piece of one that is larger than the caller's buffer.
//
// The state of an unfinished block (its size, type and the bytes received so
// far) lives in the shared Session, so that the next call, in whichever
// process, continues it without a header. The final acknowledgement goes to
// the sender only when the block's last byte has arrived.
//
// Connections: when none is open the call waits for the Initiator's next one
// through the re-listen. A connection that another running process of the
// workstation made cannot be read here (its descriptor means nothing in this
// process): the call waits, in steps of a second and within its time limit,
// until that process has closed it. A connection whose process has ended is
// forgotten, together with any block that was in progress on it. A
// connection that the peer closed or reset ends the call with 100 at once and
// discards the block in progress, so that the next call reads a new header;
// a time-out keeps the block in progress for the next call to resume.
#include <cstring>

#include "channel/blocks.h"
#include "channel/line_io.h"
#include "dyadc.h"
#include "log/log.h"
#include "rendezvous/protocol.h"
#include "rendezvous/rendezvous.h"

namespace dyadc {
namespace {

void discardBlock() {
    SharedSession& s = sharedSession();
    s.blockSize = 0;
    s.blockBytesReceived = 0;
}

// The connection is gone: close it, drop the block, report 100.
int32_t connectionLost() {
    LOG_BASIC("ERROR: Unconnected client.  Socket error %d", processSession().lastSocketError);
    sharedSession().linkDown = 1;
    closeConnection();
    discardBlock();
    return 100;
}

// Waits while another running process holds the open connection. Returns 0
// when this process may go on, 101 when the time limit passed first.
int32_t awaitOwnConnection(uint32_t timeoutSeconds) {
    const int32_t before = sharedSession().connected;
    while (connectionHeldElsewhere()) {
        if (timeLimitPassed(timeoutSeconds)) {
            LOG_BASIC("Client connect Timeout");
            return 101;
        }
        LOG_DETAIL("socket in use by another process.  Waiting");
        platform::sleepSeconds(1);
    }
    // A connection forgotten because its process ended took its block along.
    if (before == 1 && sharedSession().connected == 0) discardBlock();
    return 0;
}

}  // namespace
}  // namespace dyadc

using namespace dyadc;

extern "C" DYADC_API int32_t DyadRecvDataBlock(char* firstName, char* secondName, uint32_t timeoutSeconds,
                                               void* buffer, uint32_t size, int32_t* length, int32_t* type,
                                               DyadProgressCallback progress) {
    SharedSession& s = sharedSession();
    ProcessSession& p = processSession();
    if (firstName == nullptr || secondName == nullptr || length == nullptr || type == nullptr ||
        (buffer == nullptr && size != 0)) {
        return -1;
    }
    auto* bytes = static_cast<uint8_t*>(buffer);
    // The buffer holds the received bytes followed by zeros when the call
    // returns. Clearing only what was not received on the way out leaves the
    // same bytes as clearing all at the start, without writing a large buffer
    // twice for every block.
    struct ClearTail {
        uint8_t* bytes;
        uint32_t size;
        uint32_t filled = 0;
        ~ClearTail() {
            if (size > filled) std::memset(bytes + filled, 0, size - filled);
        }
    } clearTail{bytes, size};
    LOG_DETAIL("IN RECIEVE DATABLOCK");

    bool madeHere = false;
    int32_t result = 0;
    bool continuing = false;
    if (s.blockSize != 0) {
        // A block is in progress: continue it without a header. The time
        // limit counts from when a call last started without one.
        if (awaitOwnConnection(timeoutSeconds) != 0) return 101;
        if (s.blockSize != 0 && s.connected == 1) {
            *type = blockMore;
            continuing = true;
        } else {
            discardBlock();  // its connection is gone
        }
    }

    if (!continuing) {
        p.operationStart = platform::currentTime();
        if (awaitOwnConnection(timeoutSeconds) != 0) return 101;
        while (s.connected == 0) {
            madeHere = true;
            if (timeLimitPassed(timeoutSeconds)) {
                LOG_BASIC("Client connect Timeout");
                return 101;
            }
            const int32_t listened = responderRelisten();
            if (listened != 0 && listened != 101) {
                LOG_BASIC("A socket error had occured other than timeout");
                closeConnection();
                return 100;
            }
            if (s.connected == 0) platform::sleepSeconds(1);
        }

        // The header line.
        char line[headerBufferSize];
        while (receiveLine(s.dataSocket, line, headerReadSize) == 0) {
            if (platform::connectionBroken(s.dataSocket) || platform::brokenConnectionError(p.lastSocketError)) {
                return connectionLost();
            }
            if (timeLimitPassed(timeoutSeconds)) {
                if (p.lastSocketError == platform::errorTimedOut) {
                    LOG_BASIC("ERROR: Receive Timeout Expired.  Socket error %d", p.lastSocketError);
                    return 101;
                }
                return connectionLost();
            }
        }

        const ParsedLine parsed = parseCommandLine(line, firstName, secondName);
        if (parsed.haveLength) *length = parsed.length;
        if (parsed.haveType) *type = parsed.type;
        if (parsed.kind == 1) {
            result = parsed.quitNumber;
        } else if (parsed.kind == 3) {
            result = -1;  // a field is missing: no reply
        } else if (parsed.kind == 2) {
            result = sendLine(s.dataSocket, "%s", replyGoAhead);
            if (parsed.length == 0) {
                result = sendLine(s.dataSocket, "%s", replyComplete);
            } else {
                s.blockType = parsed.type;
                s.blockSize = static_cast<uint32_t>(parsed.length);
                if (parsed.type == blockLast) *type = blockMore;
                continuing = true;
            }
        }
    }

    if (continuing) {
        // The bytes, straight into the caller's buffer.
        uint32_t count = 0;
        while (count < size && s.blockBytesReceived < s.blockSize) {
            uint32_t room = size - count;
            const uint32_t remaining = s.blockSize - s.blockBytesReceived;
            // Never past the block: what follows it belongs to the next line.
            if (room > remaining) room = remaining;
            const int64_t got = platform::receiveSome(s.dataSocket, bytes + count, room);
            p.lastSocketError = platform::lastSocketError();
            if (got <= 0) {
                if (got == 0 || platform::brokenConnectionError(p.lastSocketError)) {
                    *length = static_cast<int32_t>(count);
                    return connectionLost();
                }
                if (timeLimitPassed(timeoutSeconds)) {
                    LOG_BASIC("Warning: Receive Timeout Expired.  Socket error %d", p.lastSocketError);
                    *length = static_cast<int32_t>(count);
                    return 101;
                }
                continue;
            }
            count += static_cast<uint32_t>(got);
            clearTail.filled = count;
            s.bytesTransferred += static_cast<double>(got);
            if (progress != nullptr) progress(s.bytesTransferred);
            s.blockBytesReceived += static_cast<uint32_t>(got);
        }
        *length = static_cast<int32_t>(count);
        if (s.blockBytesReceived < s.blockSize) return 0;  // more of the block is to come
        discardBlock();
        if (s.blockType == blockLast) *type = blockLast;
        result = sendLine(s.dataSocket, "%s", replyComplete);
    }

    // Keep or close, by the type the caller's variable holds now.
    if (*type == blockLast || (*type != blockFirst && *type != blockMore && madeHere)) closeConnection();
    return result;
}
