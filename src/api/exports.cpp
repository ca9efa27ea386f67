// The six functions that the library exports, each a wrapper around the
// library's own function of the same job, whose Result it turns into the
// exported number here and nowhere else. Nothing inside the library calls
// an export: its calls never go through the dynamic linker, so a host's (or
// a preloaded library's) function of the same name cannot take their place.
#include "api/open_close.h"
#include "blocks/blocks.h"
#include "dyadc.h"
#include "log/log.h"
#include "session/results.h"

extern "C" {

DYADC_API int32_t DYADC_CALL DyadOpen(DyadIdentifierCallback identifierCallback, DyadVerifyCallback verifyCallback,
                                      uint32_t timeoutSeconds, int32_t mode) {
    return dyadc::exportedResult(dyadc::openPairing(identifierCallback, verifyCallback, timeoutSeconds, mode));
}

DYADC_API int32_t DYADC_CALL DyadOpenXOver(DyadIdentifierCallback identifierCallback,
                                           DyadVerifyCallback verifyCallback, uint32_t timeoutSeconds,
                                           int32_t mode, const char* ipMask) {
    return dyadc::exportedResult(
        dyadc::openPairingOver(identifierCallback, verifyCallback, timeoutSeconds, mode, ipMask));
}

DYADC_API int32_t DYADC_CALL DyadClose(void) {
    return dyadc::exportedResult(dyadc::closePairing());
}

DYADC_API int32_t DYADC_CALL DyadSetLog(const char* path, uint32_t sizeLimit, int32_t level) {
    return dyadc::exportedResult(dyadc::setLog(path, sizeLimit, level));
}

DYADC_API int32_t DYADC_CALL DyadSendDataBlock(const char* firstName, const char* secondName,
                                               uint32_t timeoutSeconds, const void* data, uint32_t length,
                                               int32_t type, DyadProgressCallback progress) {
    return dyadc::exportedResult(
        dyadc::sendBlock(firstName, secondName, timeoutSeconds, data, length, type, progress));
}

DYADC_API int32_t DYADC_CALL DyadRecvDataBlock(char* firstName, char* secondName, uint32_t timeoutSeconds,
                                               void* buffer, uint32_t size, int32_t* length, int32_t* type,
                                               DyadProgressCallback progress) {
    return dyadc::exportedResult(
        dyadc::receiveBlock(firstName, secondName, timeoutSeconds, buffer, size, length, type, progress));
}

}  // extern "C"
