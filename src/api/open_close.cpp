// The exported open and close: DyadOpen, DyadOpenXOver and DyadClose.
//
// The pairing lives in the shared Session, so a pairing made by one open (in
// this or another process) serves every later open until it is reset or the
// last process unloads the library: those opens only count. The close that
// brings the count to 0 ends the connection, on the Initiator after telling
// the Responder. The count is changed with atomic operations, so that opens
// and closes in several processes at once never lose one, and a close
// without an open never takes it below 0.
#include "api/open_close.h"

#include <atomic>
#include <cstring>
#include <string_view>

#include "blocks/blocks.h"
#include "link/lease.h"
#include "link/link.h"
#include "log/log.h"
#include "rendezvous/rendezvous.h"
#include "session/results.h"
#include "wire/line_io.h"
#include "wire/protocol.h"
#include "wire/text.h"

namespace dyadc {
namespace {

constexpr size_t maskTextLimit = 15;
constexpr size_t maskFieldLimit = 3;
// How long the last close tries to reach a Responder that refuses.
constexpr int64_t closeConnectMilliseconds = 4000;

uint32_t countOpen() {
    return std::atomic_ref<uint32_t>(sharedSession().openCount).fetch_add(1) + 1;
}

// Takes one open off the count unless it is 0. Returns false when it was 0.
bool countClose(uint32_t* left) {
    std::atomic_ref<uint32_t> count(sharedSession().openCount);
    uint32_t current = count.load();
    do {
        if (current == 0) return false;
    } while (!count.compare_exchange_weak(current, current - 1));
    *left = current - 1;
    return true;
}

}  // namespace

bool convertMask(const char* mask, char* addressMask) {
    const size_t length = std::strlen(mask);
    if (length > maskTextLimit) return false;
    LOG_DETAIL("The IPMASK looks like %s", mask);

    // Fields between points; consecutive and leading points make no field.
    TextCursor cursor(std::string_view(mask, length));
    std::string_view field = cursor.token(".");
    if (field.empty() || field.size() > maskFieldLimit) return false;
    size_t end = 0;
    auto append = [&](std::string_view text) {
        std::memcpy(addressMask + end, text.data(), text.size());
        end += text.size();
        addressMask[end] = '\0';
    };
    append(field);
    size_t cut = 0;  // 0: no cut position remembered
    while (!(field = cursor.token(".")).empty()) {
        append(".");
        // The field's value as atoi reads it: its leading digits.
        if (TextCursor(field).number() != 0) {
            cut = 0;
        } else if (cut == 0) {
            cut = end;
        }
        if (field.size() > maskFieldLimit) return false;
        append(field);
    }
    if (cut != 0) addressMask[cut] = '\0';
    return true;
}

Result openPairing(DyadIdentifierCallback identifierCallback, DyadVerifyCallback verifyCallback,
                   uint32_t timeoutSeconds, int32_t mode) {
    SharedSession& s = sharedSession();
    ProcessSession& p = processSession();
    LOG_BASIC("DyadOpen initiated");
    if (s.paired == 1) {
        platform::startSocketLayer(0x0101, &s.wsaData);
        p.openTicket = static_cast<int32_t>(countOpen());
        return Result::ok;
    }
    const bool initiator = mode == 1;
    if (identifierCallback == nullptr || (!initiator && verifyCallback == nullptr)) return Result::invalid;

    char identifier[identifierBufferSize] = {};
    const int32_t given = identifierCallback(identifier);
    if (given != 0) return resultFrom(given);  // the host refused: its own number
    // An identifier that is too long, or lacks its terminator, is cut to the
    // longest one that both sides can carry.
    identifier[identifierLimit] = '\0';

    Result opened;
    if (initiator) {
        copyText(s.pairingId, sizeof s.pairingId, identifier);  // cut to identifierLimit above
        do {
            opened = initiatorRendezvous(s.pairingId, timeoutSeconds);
        } while (opened == Result::otherIdentifier);
        // The library went to the Responder: pair with it again.
        if (opened == Result::updated) opened = initiatorRendezvous(s.pairingId, timeoutSeconds);
    } else {
        opened = responderRendezvous(identifier, timeoutSeconds, verifyCallback);
    }
    if (opened == Result::ok) countOpen();
    p.openTicket = static_cast<int32_t>(s.openCount);
    return opened;
}

Result openPairingOver(DyadIdentifierCallback identifierCallback, DyadVerifyCallback verifyCallback,
                       uint32_t timeoutSeconds, int32_t mode, const char* ipMask) {
    SharedSession& s = sharedSession();
    if (ipMask == nullptr) {
        s.useAddressMask = 0;
    } else {
        s.useAddressMask = 1;
        if (!convertMask(ipMask, s.addressMask)) {
            s.useAddressMask = 0;
            return Result::badMask;
        }
    }
    LOG_DETAIL("The end resulting addressmask looks like <%s>", s.addressMask);
    const Result opened = openPairing(identifierCallback, verifyCallback, timeoutSeconds, mode);
    if (opened != Result::ok) s.useAddressMask = 0;
    return opened;
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
