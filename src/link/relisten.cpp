// responderRelisten: after the pairing the Responder waits for each new
// connection of its Initiator in windows of 5 seconds on the pairing's
// interface address and port 8181. Only the paired Initiator is accepted: a
// connection from any other address is closed at once, so that no other host
// on the network can slip blocks (or a library file) into the pairing.
#include <algorithm>

#include "link/link.h"
#include "log/log.h"
#include "session/results.h"
#include "wire/protocol.h"

namespace dyadc {
namespace {

// The address that connections must come from, or 0 when no Initiator is
// known yet (any caller is then accepted).
uint32_t pairedInitiatorAddress() {
    const SharedSession& s = sharedSession();
    return s.peerAddress.family == platform::addressFamilyIpv4 ? s.peerAddress.address : 0;
}

}  // namespace

void explainPortInUse(int32_t error, const SocketAddress& address) {
    if (error != platform::errorAddressInUse) return;
    LOG_BASIC(
        "Port %u on %s is taken by another listener: another workstation on this machine uses the same "
        "address (each needs its own)",
        static_cast<unsigned>(rendezvousPort), platform::dotted(address).text);
}

namespace {
constexpr int64_t relistenPauseMilliseconds = 1000;
}  // namespace

Result awaitConnection(uint32_t timeoutSeconds, bool* madeHere) {
    const SharedSession& s = sharedSession();
    while (s.connected == 0) {
        *madeHere = true;
        if (timeLimitPassed(timeoutSeconds)) {
            LOG_BASIC("Client connect Timeout");
            return Result::timedOut;
        }
        const Result listened = responderRelisten(waitWithinLimit(timeoutSeconds, relistenWindowMilliseconds));
        if (listened != Result::ok && listened != Result::timedOut) {
            LOG_BASIC("A socket error had occured other than timeout");
            closeConnection();
            return Result::connectionFailed;
        }
        if (s.connected == 0) {
            platform::sleepMilliseconds(
                static_cast<uint32_t>(waitWithinLimit(timeoutSeconds, relistenPauseMilliseconds)));
        }
    }
    return Result::ok;
}

namespace {

// Opens the re-listen's listener (relistenSocket) on localAddress. Returns
// ok, or connectionFailed when it cannot be made, bound or put to listen.
Result openRelistener() {
    SharedSession& s = sharedSession();
    const SocketHandle listener = platform::openStreamSocket(s.socketFlags);
    holdSocket(s.relistenSocket, listener);
    if (listener == invalidSocket) {
        LOG_BASIC("TCP/IP Failure on socket() for listen socket: %d", platform::lastSocketError());
        return Result::connectionFailed;
    }
    LOG_DETAIL("Reusing Local listen socket associated to %s", platform::dotted(s.localAddress).text);
    int rc = platform::setReceiveTimeout(listener, s.socketTimeoutMs);
    LOG_DETAIL("Informational: setsockopt for recv timeout returned an %d. Error: %d", rc,
               platform::lastSocketError());
    rc = platform::setSendTimeout(listener, s.socketTimeoutMs);
    LOG_DETAIL("Informational: setsockopt for snd timeout returned an %d. Error: %d", rc,
               platform::lastSocketError());
    if (platform::bindListener(listener, s.localAddress) != 0) {
        const int32_t error = platform::lastSocketError();
        LOG_DETAIL("Reusing Local socket associated to %s", platform::dotted(s.localAddress).text);
        LOG_BASIC("TCP/IP Failure on bind() for listen socket: %d", error);
        explainPortInUse(error, s.localAddress);
        return Result::connectionFailed;
    }
    if (platform::listenOn(listener) != 0) {
        LOG_BASIC("TCP/IP Failure on listen(): %d", platform::lastSocketError());
        return Result::connectionFailed;
    }
    return Result::ok;
}

// Accepts the paired Initiator's connection on the listener within the
// window; connections from other addresses are closed and the window goes
// on. Returns ok with *accepted; timedOut when the window passed;
// connectionFailed when the accept failed.
Result acceptPaired(SocketHandle listener, int64_t windowMilliseconds, SocketHandle* accepted) {
    SharedSession& s = sharedSession();
    LOG_DETAIL("Reconnecting to %s", platform::dotted(s.peerAddress).text);
    const uint32_t expected = pairedInitiatorAddress();
    const int64_t deadline = platform::monotonicMilliseconds() +
                             std::min(windowMilliseconds, relistenWindowMilliseconds);
    for (;;) {
        const int64_t left = deadline - platform::monotonicMilliseconds();
        platform::SelectSet set{};
        set.count = 1;
        set.handles[0] = listener;
        s.readSet = set;  // the window's read set, for the record
        const int ready = left > 0 ? platform::waitReadable(listener, static_cast<int32_t>(left)) : 0;
        if (ready <= 0) {
            LOG_DETAIL("No requests on the queue");
            return Result::timedOut;
        }
        SocketAddress caller{};
        *accepted = platform::acceptConnection(listener, &caller, &s.acceptAddressLength);
        if (*accepted == invalidSocket) {
            LOG_BASIC("TCP/IP Failure on accept: %d", platform::lastSocketError());
            return Result::connectionFailed;
        }
        if (expected == 0 || caller.address == expected) {
            s.peerAddress = caller;
            return Result::ok;
        }
        LOG_BASIC("Refused connection from %s: not the paired workstation", platform::dotted(caller).text);
        (void)platform::closeHandle(*accepted);  // a stranger's connection: nothing to tell it
        *accepted = invalidSocket;
    }
}

}  // namespace

Result responderRelisten(int64_t windowMilliseconds) {
    SharedSession& s = sharedSession();
    Result outcome = openRelistener();
    SocketHandle accepted = invalidSocket;
    if (outcome == Result::ok) outcome = acceptPaired(s.relistenSocket, windowMilliseconds, &accepted);
    if (outcome == Result::ok) {
        // Options of a connection just accepted are refused only for a bad
        // handle, which the first line on it reports.
        (void)platform::setReceiveTimeout(accepted, s.socketTimeoutMs);
        (void)platform::setSendTimeout(accepted, s.socketTimeoutMs);
        (void)platform::setNoDelay(accepted);
        LOG_DETAIL("Reconnected to %s", platform::dotted(s.peerAddress).text);
        logAdapterOf(accepted);
        closeSessionSocket(s.relistenSocket);
        holdSocket(s.dataSocket, accepted);
        s.freshConnection = 1;
        s.connected = 1;
        s.linkDown = 0;
        return Result::ok;
    }
    s.linkDown = 1;
    LOG_DETAIL("closing local socket");
    if (s.relistenSocket != invalidSocket) {
        closeSessionSocket(s.relistenSocket);
    } else {
        freeSendingMark();  // as every close does
    }
    s.connected = 0;
    return outcome;
}

}  // namespace dyadc
