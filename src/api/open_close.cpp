// The exported open and close: DyadOpen, DyadOpenXOver and DyadClose.
//
// The pairing lives in the shared Session, so a pairing made by one open (in
// this or another process) serves every later open until it is reset or the
// last process unloads the library: those opens only count. One open at a
// time pairs the workstation: an open that finds another process (or thread)
// pairing waits for it, within its own time limit, and then joins its
// pairing, or pairs itself when the other failed. Opens are counted per
// process (session/opens.h): a close undoes an open of its own process, the
// opens of ended processes are taken back, and the close that brings the
// count to 0 ends the connection, on the Initiator after telling the
// Responder.
#include "api/open_close.h"

#include <cstring>
#include <mutex>
#include <string_view>

#include "blocks/blocks.h"
#include "link/lease.h"
#include "link/link.h"
#include "log/log.h"
#include "rendezvous/rendezvous.h"
#include "rules/lan.h"
#include "session/opens.h"
#include "session/results.h"
#include "session/time_limit.h"
#include "wire/line_io.h"
#include "wire/protocol.h"

namespace dyadc {
namespace {

// How long the last close tries to reach a Responder that refuses.
constexpr int64_t closeConnectMilliseconds = 4000;

// How often an open that waits for another one's rendezvous looks again.
constexpr int64_t turnPollMilliseconds = 50;

// Threads of one process pair one at a time (the rendezvous mark tells
// processes apart, not threads).
std::mutex& pairingTurn() {
    static std::mutex turn;
    return turn;
}

// An open's turn to pair the workstation: this thread's turn among the
// process's threads and the workstation's rendezvous mark, both given back
// when the turn ends.
class PairingTurn {
public:
    PairingTurn() = default;
    PairingTurn(const PairingTurn&) = delete;
    PairingTurn& operator=(const PairingTurn&) = delete;
    ~PairingTurn() {
        if (marked_) releaseProcessMark(sharedSession().rendezvousProcess);
    }
    // Waits until no other thread or process is pairing the workstation.
    // Returns 0, or 101 when the time limit passed first.
    Result take(uint32_t timeoutSeconds) {
        for (;;) {
            if (turn_.owns_lock() || turn_.try_lock()) {
                marked_ = takeProcessMark(sharedSession().rendezvousProcess);
                if (marked_) return Result::ok;
            }
            if (timeLimitPassed(timeoutSeconds)) return Result::timedOut;
            if (!waited_) LOG_DETAIL("Another process is pairing this workstation.  Waiting");
            waited_ = true;
            platform::sleepMilliseconds(
                static_cast<uint32_t>(waitWithinLimit(timeoutSeconds, turnPollMilliseconds)));
        }
    }
    // Whether take() had to wait for another open.
    bool waited() const { return waited_; }

private:
    std::unique_lock<std::mutex> turn_{pairingTurn(), std::defer_lock};
    bool marked_ = false;
    bool waited_ = false;
};

// Joins the pairing that the workstation holds: starts the socket layer and
// counts the open.
Result joinPairing() {
    // A socket layer that does not start shows in the first socket that
    // cannot be made.
    (void)platform::startSocketLayer(0x0101, &sharedSession().wsaData);
    uint32_t ticket = 0;
    if (!countOpen(&ticket)) {
        LOG_BASIC("Too many processes hold opens of this pairing");
        return Result::socketFailed;
    }
    processSession().openTicket = static_cast<int32_t>(ticket);
    return Result::ok;
}

// The rendezvous of one side for the identifier that the host gave.
Result rendezvous(const char* identifier, DyadVerifyCallback verifyCallback, uint32_t timeoutSeconds,
                  bool initiator) {
    if (!initiator) return responderRendezvous(identifier, timeoutSeconds, verifyCallback);
    SharedSession& s = sharedSession();
    copyText(s.pairingId, sizeof s.pairingId, identifier);  // fits: cut to identifierLimit
    Result opened;
    do {
        opened = initiatorRendezvous(s.pairingId, timeoutSeconds);
    } while (opened == Result::otherIdentifier);
    // The library went to the Responder: pair with it again.
    if (opened == Result::updated) opened = initiatorRendezvous(s.pairingId, timeoutSeconds);
    return opened;
}

}  // namespace

bool convertMask(const char* mask, char* addressMask) {
    if (std::strlen(mask) <= maskTextLimit) LOG_DETAIL("The IPMASK looks like %s", mask);
    return maskPrefix(mask, addressMask);
}

Result openPairing(DyadIdentifierCallback identifierCallback, DyadVerifyCallback verifyCallback,
                   uint32_t timeoutSeconds, int32_t mode, const MaskRequest& mask) {
    SharedSession& s = sharedSession();
    ProcessSession& p = processSession();
    LOG_BASIC("DyadOpen initiated");
    startOperation();
    auto applyMask = [&] {
        if (!mask.given) return;
        if (mask.use) copyText(s.addressMask, sizeof s.addressMask, mask.prefix);  // fits: same size
        s.useAddressMask = mask.use ? 1 : 0;
    };
    if (s.paired == 1) {
        applyMask();
        return joinPairing();
    }
    const bool initiator = mode == 1;
    if (identifierCallback == nullptr || (!initiator && verifyCallback == nullptr)) return Result::invalid;

    PairingTurn turn;
    if (turn.take(timeoutSeconds) != Result::ok) {
        LOG_BASIC("Connect Has Timed Out");
        return Result::timedOut;
    }
    applyMask();
    if (s.paired == 1) return joinPairing();  // another open paired the workstation meanwhile
    uint32_t limit = timeoutSeconds;
    if (turn.waited() && timeoutSeconds != 0) {
        // The rendezvous measures its limit afresh: it gets what is left.
        limit = static_cast<uint32_t>(timeLeftMilliseconds(timeoutSeconds) / 1000);
        if (limit == 0) {
            LOG_BASIC("Connect Has Timed Out");
            return Result::timedOut;
        }
    }
    char identifier[identifierBufferSize] = {};
    Result opened = resultFrom(identifierCallback(identifier));
    if (opened == Result::ok) {
        // An identifier that is too long, or lacks its terminator, is cut to
        // the longest one that both sides can carry.
        identifier[identifierLimit] = '\0';
        opened = rendezvous(identifier, verifyCallback, limit, initiator);
        if (opened == Result::ok) return joinPairing();
        p.openTicket = static_cast<int32_t>(s.openCount);
    }
    // A host that refused to give the identifier gets its own number back.
    if (mask.given) s.useAddressMask = 0;
    return opened;
}

Result openPairingOver(DyadIdentifierCallback identifierCallback, DyadVerifyCallback verifyCallback,
                       uint32_t timeoutSeconds, int32_t mode, const char* ipMask) {
    SharedSession& s = sharedSession();
    MaskRequest mask;
    mask.given = true;
    mask.use = ipMask != nullptr;
    if (mask.use && !convertMask(ipMask, mask.prefix)) {
        // Refused before anything else; the fields converted so far stay.
        copyText(s.addressMask, sizeof s.addressMask, mask.prefix);
        s.useAddressMask = 0;
        return Result::badMask;
    }
    LOG_DETAIL("The end resulting addressmask looks like <%s>", mask.use ? mask.prefix : s.addressMask);
    return openPairing(identifierCallback, verifyCallback, timeoutSeconds, mode, mask);
}

Result closePairing() {
    SharedSession& s = sharedSession();
    uint32_t left = 0;
    const bool counted = countClose(&left);
    LOG_DETAIL("DYADCLOSE Issued");
    if (!counted) return Result::ok;  // no open to undo
    if (left > 0) {
        LOG_DETAIL("DLL still active, not closing socket");
        return Result::ok;
    }
    LOG_DETAIL("Closing Socket");
    SendingHold hold;
    if (!hold.takeNow()) {
        // Another running process's connection cannot be used from here.
        LOG_DETAIL("The connection belongs to another process; it stays as it is");
        return Result::ok;
    }
    if (s.isInitiator == 1 && s.linkDown == 0) {
        // The Responder listens in windows with short gaps between them; a
        // refusal most likely fell into a gap, and a lost closing line would
        // leave the Responder waiting for blocks that never come. A refused
        // connection is therefore tried again, for a few seconds.
        if (s.connected == 0) {
            // Whether it got through shows in connected.
            (void)reconnectWithin(hold, Deadline::after(closeConnectMilliseconds), true);
        }
        // A Responder that misses the closing line learns of the end when its
        // next receive finds no Initiator: the close goes on either way.
        if (s.connected == 1) (void)sendLine(s.dataSocket, quitFormat, quitCode);
    }
    // The descriptor is closed, so the Session must not keep it as open: its
    // number could be given to an unrelated file of this process.
    closeConnection();
    return Result::ok;
}

}  // namespace dyadc
