// initiatorReconnect: after the pairing no connection stays open; whenever the
// Initiator needs one it connects again to the same Responder from the same
// adapter. Nothing is exchanged here: the next line on the new connection is
// a data-channel command.
#include "frame/results.h"
#include "log/log.h"
#include "rendezvous/link.h"
#include "rendezvous/protocol.h"

namespace dyadc {

namespace {

constexpr uint32_t longestPauseMicroseconds = 1000000;

}  // namespace

void ReconnectPause::wait(int32_t error) {
    if (error != platform::errorConnectionRefused) {
        platform::sleepSeconds(1);
        return;
    }
    platform::sleepMicroseconds(nextMicroseconds_);
    nextMicroseconds_ = nextMicroseconds_ * 2 < longestPauseMicroseconds ? nextMicroseconds_ * 2
                                                                         : longestPauseMicroseconds;
}

int32_t initiatorReconnect() {
    SharedSession& s = sharedSession();
    int32_t outcome = result::ok;
    const SocketHandle socket = platform::openStreamSocket(s.socketFlags);
    holdSocket(s.connectSocket, socket);
    if (socket == invalidSocket) {
        LOG_BASIC("TCP/IP Failure on socket() for listen socket: %d", platform::lastSocketError());
        s.linkDown = 1;
        outcome = result::connectionFailed;
    } else {
        platform::setReceiveTimeout(socket, s.socketTimeoutMs);
        platform::setSendTimeout(socket, s.socketTimeoutMs);
        s.peerAddress.port = platform::toNetwork16(rendezvousPort);
        s.localAddress.family = platform::addressFamilyIpv4;
        s.localAddress.port = 0;
        if (platform::bindAddress(socket, s.localAddress) != 0) {
            LOG_BASIC("Socket bind to local adapter <%s> failed <%d>", platform::dotted(s.localAddress).text,
                      platform::lastSocketError());
            s.linkDown = 1;
            outcome = result::connectionFailed;
        } else {
            LOG_DETAIL("Reconnecting to %s", platform::dotted(s.peerAddress).text);
            LOG_DETAIL("Using NIC with IP address %s", platform::dotted(s.localAddress).text);
            if (platform::connectTo(socket, s.peerAddress) != 0) {
                const int32_t error = platform::lastSocketError();
                processSession().lastSocketError = error;  // tells the caller how long to pause
                LOG_BASIC("connect to data socket failed! Error: %d", error);
                s.linkDown = 1;
                outcome = error == platform::errorTimedOut ? result::timedOut : result::connectionFailed;
            } else {
                // Small replies must not wait for delayed acknowledgements.
                platform::setNoDelay(socket);
                LOG_DETAIL("ReConnected to Target workstation: %s.", platform::dotted(s.peerAddress).text);
                logAdapterOf(socket);
                copySocket(s.dataSocket, s.connectSocket);
                s.connected = 1;
                s.linkDown = 0;
            }
        }
    }
    if (s.linkDown != 0) {
        LOG_DETAIL("closing local socket");
        closeSessionSocket(s.connectSocket);
        s.connected = 0;
    }
    return outcome;
}

}  // namespace dyadc
