// Opening and closing a pairing (DyadOpen, DyadOpenXOver, DyadClose; the
// public header documents them for hosts).
#pragma once

#include <cstdint>

#include "dyadc.h"
#include "session/results.h"

namespace dyadc {

// What DyadOpenXOver asks of the interfaces that a rendezvous may use:
// nothing (DyadOpen), no restriction, or those that begin with `prefix`.
struct MaskRequest {
    bool given = false;
    bool use = false;
    char prefix[20] = {};
};

Result openPairing(DyadIdentifierCallback identifierCallback, DyadVerifyCallback verifyCallback,
                   uint32_t timeoutSeconds, int32_t mode, const MaskRequest& mask = {});
Result openPairingOver(DyadIdentifierCallback identifierCallback, DyadVerifyCallback verifyCallback,
                       uint32_t timeoutSeconds, int32_t mode, const char* ipMask);
Result closePairing();

// Converts a dotted mask into the prefix that selects interfaces: the fields
// up to the last one that is not 0, each followed by a point ("192.168.0.0"
// gives "192.168."; the first field always stays). Returns false for a mask
// that is not usable (more than 15 characters, no field, a field longer than
// 3); `addressMask` (20 bytes) may then hold the fields done before.
bool convertMask(const char* mask, char* addressMask);

}  // namespace dyadc
