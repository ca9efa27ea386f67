// initiatorReconnect: after the pairing no connection stays open; whenever the
// Initiator needs one it connects again to the same Responder from the same
// adapter. Nothing is exchanged here: the next line on the new connection is
// a data-channel command.
#include <algorithm>

#include "link/link.h"
#include "log/log.h"
#include "session/results.h"
#include "wire/protocol.h"

namespace dyadc {

namespace {

constexpr uint32_t longestPauseMicroseconds = 1000000;
constexpr int64_t patienceRoundTrips = 4;
constexpr int64_t shortestPatienceMicroseconds = 250;
constexpr int64_t askAgainPart = 4;  // requests are made again in the first quarter of the time-out

// Opens the connection socket (connectSocket), bound to the pairing's
// adapter; invalidSocket when it cannot (a socket made is still held).
SocketHandle openConnectSocket() {
    SharedSession& s = sharedSession();
    const SocketHandle socket = platform::openStreamSocket(s.socketFlags);
    holdSocket(s.connectSocket, socket);
    if (socket == invalidSocket) {
        LOG_BASIC("TCP/IP Failure on socket() for listen socket: %d", platform::lastSocketError());
        return invalidSocket;
    }
    // Options of a socket just made are refused only for a bad handle, which
    // the bind below reports.
    (void)platform::setReceiveTimeout(socket, s.socketTimeoutMs);
    (void)platform::setSendTimeout(socket, s.socketTimeoutMs);
    s.localAddress.family = platform::addressFamilyIpv4;
    s.localAddress.port = 0;
    if (platform::bindAddress(socket, s.localAddress) != 0) {
        LOG_BASIC("Socket bind to local adapter <%s> failed <%d>", platform::dotted(s.localAddress).text,
                  platform::lastSocketError());
        return invalidSocket;
    }
    return socket;
}

}  // namespace

ConnectSchedule::ConnectSchedule(int64_t timeoutMicroseconds, int64_t answerMicroseconds)
    : timeout_(timeoutMicroseconds),
      patience_(std::max(answerMicroseconds * patienceRoundTrips, shortestPatienceMicroseconds)) {}

ConnectSchedule::Wait ConnectSchedule::next(int64_t elapsedMicroseconds) {
    const int64_t left = std::max(timeout_ - elapsedMicroseconds, int64_t{0});
    if (elapsedMicroseconds + patience_ > timeout_ / askAgainPart) return {left, true};
    const Wait wait{patience_, false};
    patience_ *= 2;
    return wait;
}

void ReconnectPause::wait(int32_t error, int64_t longestMilliseconds) {
    const int64_t longest = std::max(longestMilliseconds, int64_t{0}) * 1000;
    if (error != platform::errorConnectionRefused) {
        platform::sleepMicroseconds(static_cast<uint32_t>(std::min(longest, int64_t{longestPauseMicroseconds})));
        return;
    }
    platform::sleepMicroseconds(static_cast<uint32_t>(std::min(longest, int64_t{nextMicroseconds_})));
    nextMicroseconds_ = std::min(nextMicroseconds_ + nextMicroseconds_ / 2, longestPauseMicroseconds);
}

Result initiatorReconnect(int64_t timeoutMicroseconds, int32_t* failure) {
    SharedSession& s = sharedSession();
    ProcessSession& p = processSession();
    s.peerAddress.port = platform::toNetwork16(rendezvousPort);
    // Within the connect's time-out, a request that has had no answer after a
    // few of the Responder's usual answer times is made again from a new
    // socket, and so from a new port. Such a request most likely came from a
    // port whose earlier connection the Responder closed less than a minute
    // ago and still remembers: while it does not listen, it answers with an
    // acknowledgement of that old connection, and the system asks again only
    // after a pause of its own (tens of milliseconds or more).
    const int64_t started = platform::monotonicMicroseconds();
    int64_t timeout = int64_t{s.socketTimeoutMs} * 1000;
    if (timeoutMicroseconds >= 0 && timeoutMicroseconds < timeout) timeout = timeoutMicroseconds;
    ConnectSchedule schedule(timeout, p.answerMicroseconds);
    Result outcome = Result::connectionFailed;
    for (;;) {
        const SocketHandle socket = openConnectSocket();
        if (socket == invalidSocket) break;
        LOG_DETAIL("Reconnecting to %s", platform::dotted(s.peerAddress).text);
        LOG_DETAIL("Using NIC with IP address %s", platform::dotted(s.localAddress).text);
        const int64_t asked = platform::monotonicMicroseconds();
        const ConnectSchedule::Wait wait = schedule.next(asked - started);
        const int connected = platform::connectWithin(socket, s.peerAddress,
                                                      static_cast<uint32_t>(wait.microseconds));
        const int32_t error = connected == 0 ? 0 : platform::lastSocketError();
        if (connected == 0 || error == platform::errorConnectionRefused) {
            p.answerMicroseconds = platform::monotonicMicroseconds() - asked;
        }
        if (connected == 0) {
            // Small replies must not wait for delayed acknowledgements.
            (void)platform::setNoDelay(socket);  // without it replies are only slower
            LOG_DETAIL("ReConnected to Target workstation: %s.", platform::dotted(s.peerAddress).text);
            logAdapterOf(socket);
            copySocket(s.dataSocket, s.connectSocket);
            s.connected = 1;
            s.linkDown = 0;
            return Result::ok;
        }
        if (error == platform::errorTimedOut && !wait.last) {
            LOG_BASIC("No answer to the connection request in %lld us: asking again from a new port",
                      static_cast<long long>(wait.microseconds));
            closeSessionSocket(s.connectSocket);
            continue;
        }
        if (failure != nullptr) *failure = error;  // tells the caller how long to pause
        LOG_BASIC("connect to data socket failed! Error: %d", error);
        outcome = error == platform::errorTimedOut ? Result::timedOut : Result::connectionFailed;
        break;
    }
    s.linkDown = 1;
    LOG_DETAIL("closing local socket");
    closeSessionSocket(s.connectSocket);
    s.connected = 0;
    return outcome;
}

Result takeConnection(SendingHold& hold, uint32_t timeoutSeconds, bool* madeHere) {
    const SharedSession& s = sharedSession();
    for (;;) {
        if (hold.take(timeoutSeconds) != Result::ok) return Result::timedOut;
        if (s.connected == 1) return Result::ok;
        *madeHere = true;
        switch (reconnectWithin(hold, Deadline::limit(timeoutSeconds), false)) {
            case Reconnection::connected:
                return Result::ok;
            case Reconnection::failed:
                return Result::timedOut;
            case Reconnection::markTaken:
                break;  // another process connects: wait for its block
        }
    }
}

Reconnection reconnectWithin(SendingHold& hold, const Deadline& deadline, bool onlyAfterRefusal) {
    ReconnectPause pause;
    for (;;) {
        if (deadline.passed()) return Reconnection::failed;
        const int64_t left = deadline.leftMilliseconds();
        int32_t error = 0;
        const Result attempt = initiatorReconnect(left < 0 ? -1 : left * 1000, &error);
        if (!hold.keep()) return Reconnection::markTaken;  // a failed attempt's close freed it
        if (attempt == Result::ok) return Reconnection::connected;
        if (onlyAfterRefusal && error != platform::errorConnectionRefused) return Reconnection::failed;
        pause.wait(error, deadline.nextWaitMilliseconds() < 0 ? 1000 : deadline.nextWaitMilliseconds());
    }
}

}  // namespace dyadc
