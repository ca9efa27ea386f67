// DyadSendDataBlock: one block to the paired workstation, acknowledged only
// when the peer has every byte.
//
// One call waits until no other process of the workstation is using the
// connection, connects when none is open, sends the "put" header, waits for
// the go-ahead, sends the bytes, waits for the final acknowledgement, and then
// keeps or closes the connection by the block type. A step that fails is
// repeated until it succeeds or the caller's time limit has passed; a
// connection that the peer closed or reset ends the call at once, since
// nothing sent on it can arrive any more.
//
// The connection's owner mark is taken with one atomic compare-and-swap of the
// owning process's id (socketOwner then holds this process's ticket), so two
// processes can never both believe they own the connection; a mark whose
// process has ended is cleared. A connection that another running process
// made is waited for like an owned one: its descriptor means nothing here.
#include "channel/blocks.h"
#include "channel/line_io.h"
#include "dyadc.h"
#include "log/log.h"
#include "rendezvous/protocol.h"
#include "rendezvous/rendezvous.h"

namespace dyadc {
namespace {

constexpr uint32_t ownerPollSeconds = 4;

// Gives up on the connection: the result tells a time-out from any other end.
int32_t giveUp() {
    SharedSession& s = sharedSession();
    const int32_t result = processSession().lastSocketError == platform::errorTimedOut ? 101 : 100;
    s.linkDown = 1;
    closeConnection();
    return result;
}

// The connection cannot carry this block any more: the peer closed or reset it.
int32_t connectionLost() {
    SharedSession& s = sharedSession();
    s.linkDown = 1;
    closeConnection();
    return 100;
}

// Reads replies until one with code 0 arrives (others are passed over) and
// returns 0; or gives up, sets *gaveUp and returns the result: 100 at once
// when the peer closed or reset the connection, 101 or 100 when the time
// limit passed.
int32_t awaitReply(uint32_t timeoutSeconds, bool warnWhileWaiting, bool* gaveUp) {
    SharedSession& s = sharedSession();
    for (;;) {
        int32_t code = 0;
        const int32_t read = readReply(s.dataSocket, &code);
        if (read == 0 && code == 0) return 0;
        if (warnWhileWaiting) LOG_DETAIL("Warning: No data recived in 1 secs");
        if (read != 0 && platform::connectionBroken(s.dataSocket)) {
            *gaveUp = true;
            return connectionLost();
        }
        if (timeLimitPassed(timeoutSeconds)) {
            LOG_BASIC("recv() failed in getreply rc=%d", processSession().lastSocketError);
            *gaveUp = true;
            return giveUp();
        }
    }
}

// Drops the owner mark taken by this call when it ends without a connection.
void releaseMark() {
    SharedSession& s = sharedSession();
    if (s.socketOwnerProcess == platform::currentProcessId()) closeSocket(invalidSocket);
}

// Steps 1 to 4: the connection, free for this process and open. Returns 0, or
// 101 when the time limit passed before a connection could be made.
int32_t takeConnection(uint32_t timeoutSeconds, bool* madeHere) {
    SharedSession& s = sharedSession();
    for (;;) {
        if (!claimConnection() || connectionHeldElsewhere()) {
            // Another running process uses the connection: wait for it. This
            // wait has no limit of its own but counts against the later steps.
            if (s.socketOwnerProcess == platform::currentProcessId()) releaseMark();
            LOG_DETAIL("socket in use by another process.  Waiting");
            platform::sleepSeconds(ownerPollSeconds);
            continue;
        }
        if (s.connected == 1) return 0;
        *madeHere = true;
        if (timeLimitPassed(timeoutSeconds)) {
            releaseMark();
            return 101;
        }
        initiatorReconnect();
        if (s.connected == 1) {
            claimConnection();  // a failed attempt's close freed the mark
            return 0;
        }
        platform::sleepSeconds(1);
    }
}

}  // namespace
}  // namespace dyadc

using namespace dyadc;

extern "C" DYADC_API int32_t DyadSendDataBlock(const char* firstName, const char* secondName,
                                               uint32_t timeoutSeconds, const void* data, uint32_t length,
                                               int32_t type, DyadProgressCallback progress) {
    SharedSession& s = sharedSession();
    ProcessSession& p = processSession();
    if (!validHeader(firstName, secondName, length, type) || (data == nullptr && length != 0)) {
        // A header that the receiver would split differently, or cut, would
        // corrupt the transfer: send nothing.
        LOG_BASIC("put refused: names must be non-empty without '|', CR or LF, and the header must fit "
                  "one line");
        return 100;
    }

    std::lock_guard<std::recursive_mutex> turn(sendingTurn());
    p.operationStart = platform::currentTime();
    bool madeHere = false;
    if (takeConnection(timeoutSeconds, &madeHere) != 0) return 101;
    s.socketOwner = p.openTicket;

    int32_t result = 0;
    bool gaveUp = false;

    // Header.
    for (;;) {
        if (sendLine(s.dataSocket, putFormat, firstName, secondName,
                     static_cast<long>(static_cast<int32_t>(length)), type) == 0) {
            break;
        }
        if (platform::brokenConnectionError(p.lastSocketError)) {
            result = connectionLost();
            gaveUp = true;
            break;
        }
        if (timeLimitPassed(timeoutSeconds)) {
            LOG_BASIC("send() failed in Put rc=%d", p.lastSocketError);
            result = giveUp();
            gaveUp = true;
            break;
        }
        platform::sleepSeconds(1);
    }

    // Go-ahead.
    if (!gaveUp) result = awaitReply(timeoutSeconds, false, &gaveUp);

    // The bytes, in one piece.
    while (!gaveUp && length > 0) {
        size_t sent = 0;
        if (platform::sendAll(s.dataSocket, data, length, &sent) == 0) break;
        p.lastSocketError = platform::lastSocketError();
        if (sent > 0 || platform::brokenConnectionError(p.lastSocketError)) {
            // Part of the block may have left: sending it again from its first
            // byte would make the receiver count those bytes twice.
            LOG_BASIC("send() failed to transmit data  rc=%d", p.lastSocketError);
            result = sent > 0 ? giveUp() : connectionLost();
            gaveUp = true;
        } else if (timeLimitPassed(timeoutSeconds)) {
            LOG_BASIC("send() failed to transmit data  rc=%d", p.lastSocketError);
            LOG_BASIC("Timeout has expired");
            // The receiver still waits for this block's bytes: nothing else
            // may follow on this connection.
            result = giveUp();
            gaveUp = true;
        } else {
            platform::sleepSeconds(1);
        }
    }

    if (!gaveUp) {
        s.bytesTransferred += static_cast<double>(length);
        if (progress != nullptr) progress(s.bytesTransferred);
    }

    // Final acknowledgement.
    if (!gaveUp) result = awaitReply(timeoutSeconds, true, &gaveUp);

    // Keep or close.
    if (type == blockLast || (type != blockFirst && type != blockMore && madeHere)) closeConnection();
    return result;
}
