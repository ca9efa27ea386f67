// The library's results by name. Every internal operation reports its outcome
// as a Result; the compiler refuses to let one be dropped unnoticed (a result
// that does not matter is discarded with a cast to void and a reason). Every
// value that a host can see comes from the public list in dyadc.h
// (DYAD_RESULT_MAP); the exports turn a Result into that 32-bit number, in
// one place (exportedResult). retry and noReply never leave the library.
#pragma once

#include <cstdint>

#include "dyadc.h"

namespace dyadc {

enum class [[nodiscard]] Result : int32_t{
    ok = DYAD_OK,
    socketFailed = DYAD_SOCKET_FAILED,  // a local socket could not be made or set up
    peerClosed = DYAD_PEER_CLOSED,      // the number of the Initiator's closing "quit"
    updated = DYAD_UPDATED,             // the library update travelled during the pairing
    connectionFailed = DYAD_CONNECTION_FAILED,
    timedOut = DYAD_TIMED_OUT,  // a time limit passed, or a connect timed out
    updateFailed = DYAD_UPDATE_FAILED,
    refused = DYAD_REFUSED,  // the computer name was refused; the Session is reset
    badMask = DYAD_BAD_MASK,
    otherIdentifier = DYAD_OTHER_IDENTIFIER,  // an announce carried another identifier
    invalid = DYAD_INVALID,                   // an incomplete header, a refused argument, no library file
    retry = 98,    // a step failed for now: it is tried again (never leaves the library)
    noReply = 99,  // no reply line could be read (the reply reader only)
};

// A result that is a number from outside: the number a peer sent with
// "quit", a host callback's refusal, or a socket error, passed on as it is.
constexpr Result resultFrom(int32_t number) {
    return static_cast<Result>(number);
}

// The number that an export returns for a result.
constexpr int32_t exportedResult(Result result) {
    return static_cast<int32_t>(result);
}

}  // namespace dyadc
