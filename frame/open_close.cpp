// The exported open and close: DyadOpen, DyadOpenXOver and DyadClose.
//
// The pairing lives in the shared Session, so a pairing made by one open (in
// this or another process) serves every later open until it is reset or the
// last process unloads the library: those opens only count. The close that
// brings the count to 0 ends the connection, on the Initiator after telling
// the Responder. The count is changed with atomic operations, so that opens
// and closes in several processes at once never lose one, and a close
// without an open never takes it below 0.
#include <atomic>
#include <cstring>

#include "channel/blocks.h"
#include "channel/line_io.h"
#include "dyadc.h"
#include "log/log.h"
#include "rendezvous/protocol.h"
#include "rendezvous/rendezvous.h"

namespace dyadc {
namespace {

constexpr size_t identifierBufferSize = 80;
constexpr size_t maskTextLimit = 15;
constexpr size_t maskFieldLimit = 3;
constexpr int closeConnectAttempts = 4;

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

// Converts a dotted mask into the prefix that selects interfaces: the fields
// up to the last one that is not 0, each followed by a point ("192.168.0.0"
// gives "192.168."; the first field always stays). Returns false for a mask
// that is not usable; addressMask may then hold the fields done before.
bool convertMask(const char* mask, char* addressMask) {
    if (std::strlen(mask) > maskTextLimit) return false;
    char work[maskTextLimit + 1];
    std::strcpy(work, mask);
    LOG_DETAIL("The IPMASK looks like %s", work);

    char* cursor = work;
    auto nextField = [&cursor]() -> const char* {
        while (*cursor == '.') ++cursor;
        if (*cursor == '\0') return nullptr;
        const char* start = cursor;
        while (*cursor != '\0' && *cursor != '.') ++cursor;
        if (*cursor == '.') *cursor++ = '\0';
        return start;
    };
    const char* field = nextField();
    if (field == nullptr || std::strlen(field) > maskFieldLimit) return false;
    std::strcpy(addressMask, field);
    size_t cut = 0;  // 0: no cut position remembered
    while ((field = nextField()) != nullptr) {
        std::strcat(addressMask, ".");
        // The field's value as atoi reads it: its leading digits.
        int value = 0;
        for (const char* digit = field; *digit >= '0' && *digit <= '9'; ++digit) value = value * 10 + (*digit - '0');
        if (value != 0) {
            cut = 0;
        } else if (cut == 0) {
            cut = std::strlen(addressMask);
        }
        if (std::strlen(field) > maskFieldLimit) return false;
        std::strcat(addressMask, field);
    }
    if (cut != 0) addressMask[cut] = '\0';
    return true;
}

}  // namespace
}  // namespace dyadc

using namespace dyadc;

extern "C" DYADC_API int32_t DyadOpen(DyadIdentifierCallback identifierCallback, DyadVerifyCallback verifyCallback,
                                      uint32_t timeoutSeconds, int32_t mode) {
    SharedSession& s = sharedSession();
    ProcessSession& p = processSession();
    LOG_BASIC("DyadOpen initiated");
    if (s.paired == 1) {
        platform::startSocketLayer(0x0101, &s.wsaData);
        p.openTicket = static_cast<int32_t>(countOpen());
        return 0;
    }
    const bool initiator = mode == 1;
    if (identifierCallback == nullptr || (!initiator && verifyCallback == nullptr)) return -1;

    char identifier[identifierBufferSize] = {};
    const int32_t given = identifierCallback(identifier);
    if (given != 0) return given;
    // An identifier that is too long, or lacks its terminator, is cut to the
    // longest one that both sides can carry.
    identifier[identifierLimit] = '\0';

    int32_t result;
    if (initiator) {
        std::strcpy(s.pairingId, identifier);
        do {
            result = initiatorRendezvous(s.pairingId, timeoutSeconds);
        } while (result == 999);
        // The library went to the Responder: pair with it again.
        if (result == updateCode) result = initiatorRendezvous(s.pairingId, timeoutSeconds);
    } else {
        result = responderRendezvous(identifier, timeoutSeconds, verifyCallback);
    }
    if (result == 0) countOpen();
    p.openTicket = static_cast<int32_t>(s.openCount);
    return result;
}

extern "C" DYADC_API int32_t DyadOpenXOver(DyadIdentifierCallback identifierCallback,
                                           DyadVerifyCallback verifyCallback, uint32_t timeoutSeconds, int32_t mode,
                                           const char* ipMask) {
    SharedSession& s = sharedSession();
    if (ipMask == nullptr) {
        s.useAddressMask = 0;
    } else {
        s.useAddressMask = 1;
        if (!convertMask(ipMask, s.addressMask)) {
            s.useAddressMask = 0;
            return 104;
        }
    }
    LOG_DETAIL("The end resulting addressmask looks like <%s>", s.addressMask);
    const int32_t result = DyadOpen(identifierCallback, verifyCallback, timeoutSeconds, mode);
    if (result != 0) s.useAddressMask = 0;
    return result;
}

extern "C" DYADC_API int32_t DyadClose(void) {
    SharedSession& s = sharedSession();
    uint32_t left = 0;
    const bool counted = countClose(&left);
    LOG_DETAIL("DYADCLOSE Issued");
    if (!counted) return 0;  // no open to undo
    if (left > 0) {
        LOG_DETAIL("DLL still active, not closing socket");
        return 0;
    }
    LOG_DETAIL("Closing Socket");
    std::lock_guard<std::recursive_mutex> turn(sendingTurn());
    if (connectionHeldElsewhere()) {
        // Another running process's connection cannot be used from here.
        LOG_DETAIL("The connection belongs to another process; it stays as it is");
        return 0;
    }
    if (s.isInitiator == 1 && s.linkDown == 0) {
        // The Responder listens in windows with short gaps between them; a
        // refusal most likely fell into a gap, and a lost closing line would
        // leave the Responder waiting for blocks that never come. A refused
        // connection is therefore tried again, a second apart, a few times.
        for (int attempt = 0; s.connected == 0 && attempt < closeConnectAttempts; ++attempt) {
            if (attempt > 0) platform::sleepSeconds(1);
            if (initiatorReconnect() != 100) break;
        }
        if (s.connected == 1) sendLine(s.dataSocket, quitFormat, quitCode);
    }
    // The descriptor is closed, so the Session must not keep it as open: its
    // number could be given to an unrelated file of this process.
    closeConnection();
    return 0;
}
