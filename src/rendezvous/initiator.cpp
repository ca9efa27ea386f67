// initiatorRendezvous: the side of the pairing that waits to be found.
//
// It listens for the multicast announce on every usable interface, takes the
// first datagram that arrives, and goes on only when it carries exactly its
// own identifier (otherwise the attempt ends with 999 and DyadOpen starts
// another). It connects to the announce's sender through the interface on
// which it arrived, presents the computer name, sends its version and, when
// the Responder asks for it, sends its library file. The handshake connection
// is closed before it returns; later connections are made by the
// reconnection.
//
// With a time limit, every wait of the attempt ends with it: the connect and
// both reply reads (whatever the Responder sends, or does not send). Without
// one the replies are awaited as long as it takes (a person may be
// approving the name), but a connection that is closed, reset or carries a
// reply line without end ends the wait at once.
#include <cstring>

#include "link/connection.h"
#include "log/log.h"
#include "rendezvous/interfaces.h"
#include "rendezvous/rendezvous.h"
#include "session/results.h"
#include "session/time_limit.h"
#include "update/update.h"
#include "wire/bytes.h"
#include "wire/line_io.h"
#include "wire/protocol.h"

namespace dyadc {
namespace {

constexpr uint32_t socketRetryPauseSeconds = 3;
constexpr uint32_t longestWaitSeconds = 5;
constexpr uint32_t computerNameSize = 256;

// The sockets that one attempt owns; every one is closed, once, at its end.
struct InitiatorSockets {
    SocketHandle probe = invalidSocket;
    SocketHandle receivers[interfaceTableSize];
    int32_t receiverCount = 0;

    InitiatorSockets() {
        for (SocketHandle& handle : receivers) handle = invalidSocket;
    }
    void closeReceivers() {
        for (int32_t i = 0; i < receiverCount; ++i) {
            if (receivers[i] != invalidSocket) (void)closeSocket(receivers[i]);  // a valid handle: ok
            receivers[i] = invalidSocket;
        }
        receiverCount = 0;
    }
    void closeProbe() {
        if (probe != invalidSocket) (void)closeSocket(probe);  // a valid handle: ok
        probe = invalidSocket;
    }
    ~InitiatorSockets() {
        closeReceivers();
        closeProbe();
    }
};

// What remains of the time limit, in milliseconds (at least one).
int32_t remainingMilliseconds(uint32_t timeoutSeconds) {
    const int64_t remaining = timeLeftMilliseconds(timeoutSeconds);
    return remaining > 0 ? static_cast<int32_t>(remaining) : 1;
}

}  // namespace

uint32_t initiatorCycleWait(uint32_t timeoutSeconds) {
    const int64_t remaining = static_cast<int64_t>(timeoutSeconds) -
                              (static_cast<int64_t>(platform::currentTime()) - operationStart());
    if (remaining > longestWaitSeconds) return longestWaitSeconds;
    if (remaining <= 0) return 1;
    return static_cast<uint32_t>(remaining);
}

namespace {

// Connects connectSocket from localAddress to peerAddress, once a second
// until it succeeds or the time limit passes. Each attempt uses a fresh
// socket, since a socket whose connect failed may not be reused; with a time
// limit, no attempt lasts past it. Returns ok, or connectionFailed.
Result connectToResponder(uint32_t timeoutSeconds) {
    SharedSession& s = sharedSession();
    for (;;) {
        const SocketHandle socket = platform::openStreamSocket(s.socketFlags);
        holdSocket(s.connectSocket, socket);
        if (socket == invalidSocket) {
            LOG_BASIC("TCP/IP Failure on socket() for listen socket: %d", platform::lastSocketError());
            return Result::connectionFailed;
        }
        if (platform::bindAddress(socket, s.localAddress) != 0) {
            LOG_BASIC("Socket bind to local adapter <%s> failed <%d>", platform::dotted(s.localAddress).text,
                      platform::lastSocketError());
            return Result::connectionFailed;
        }
        // The options of a bound socket are refused only for a bad handle,
        // which the connect reports.
        if (timeoutSeconds != 0) (void)platform::setSendTimeout(socket, remainingMilliseconds(timeoutSeconds));
        const bool connected = platform::connectTo(socket, s.peerAddress) == 0;
        if (timeoutSeconds != 0) (void)platform::setSendTimeout(socket, 0);
        if (!connected) {
            LOG_BASIC("connect to data socket failed! Error: %d", platform::lastSocketError());
            platform::sleepMilliseconds(static_cast<uint32_t>(waitWithinLimit(timeoutSeconds, 1000)));
        }
        if (timeLimitPassed(timeoutSeconds)) {
            LOG_BASIC("Connect Has Timed Out");
            if (!connected) {
                LOG_BASIC("connect to data socket failed! Error: %d", platform::lastSocketError());
                return Result::connectionFailed;
            }
        }
        if (connected) return Result::ok;
        closeSessionSocket(s.connectSocket);
    }
}

// Reads a handshake reply. Returns ok with the code; timedOut when the time
// limit passed first; connectionFailed when the connection failed (`failure`
// is logged then).
Result handshakeReply(SocketHandle socket, uint32_t timeoutSeconds, int32_t* code, const char* failure) {
    for (;;) {
        const Transfer reply = readReply(socket, code, Deadline::limit(timeoutSeconds));
        if (reply.result == Result::ok) return Result::ok;
        const int32_t error = reply.error;
        const Result next = afterFailure(socket, error, timeoutSeconds);
        // Only a reply that has not come yet is awaited on.
        if (next == Result::connectionFailed || error != platform::errorTimedOut) {
            LOG_BASIC("%s", failure);
            return Result::connectionFailed;
        }
        if (next == Result::timedOut) {
            LOG_BASIC("Connect Has Timed Out");
            return Result::timedOut;
        }
    }
}

}  // namespace

Result presentToResponder(uint32_t timeoutSeconds, bool* nameAccepted, bool* updateAsked) {
    SharedSession& s = sharedSession();
    ProcessSession& p = processSession();
    char name[computerNameSize];
    (void)platform::computerName(name, sizeof name);  // an unreadable name is presented empty: the host decides
    LOG_DETAIL("Sending my computer name <%s> to target for acceptance", name);
    constexpr const char* notVerified = "Error:  A tcp error occured while waiting for target verification";
    if (sendLine(s.connectSocket, "%s", name) != Result::ok) {
        LOG_BASIC("%s", notVerified);  // no answer can come to a name that did not leave
        return Result::connectionFailed;
    }
    int32_t code = 0;
    const Result verified = handshakeReply(s.connectSocket, timeoutSeconds, &code, notVerified);
    if (verified != Result::ok) return verified;
    if (code != 0) {
        resetSession();
        return Result::refused;
    }
    adoptHandshakeConnection(s.connectSocket);
    s.paired = 1;
    *nameAccepted = true;

    LOG_DETAIL("sending %s to target", p.versionText);
    constexpr const char* notAcknowledged = "Error:  A tcp error occured while waiting for target acknowledgement";
    if (sendLine(s.dataSocket, "%s", p.versionText) != Result::ok) {
        LOG_BASIC("%s", notAcknowledged);  // no answer can come to a version that did not leave
        return Result::connectionFailed;
    }
    const Result acknowledged = handshakeReply(s.dataSocket, timeoutSeconds, &code, notAcknowledged);
    if (acknowledged != Result::ok) return acknowledged;
    LOG_DETAIL("Reply to dll version %d", code);
    *updateAsked = code == updateCode;
    return Result::ok;
}

namespace {

// Opens the socket through which the interfaces are listed; after a failure
// it tries once more, a few seconds later.
bool openProbe(InitiatorSockets& sockets) {
    const SharedSession& s = sharedSession();
    sockets.probe = platform::openDatagramSocket(s.socketFlags);
    if (sockets.probe != invalidSocket) return true;
    LOG_BASIC("Allocating socket failed! Error: %d.  Retrying", platform::lastSocketError());
    platform::sleepSeconds(socketRetryPauseSeconds);
    sockets.probe = platform::openDatagramSocket(s.socketFlags);
    if (sockets.probe != invalidSocket) return true;
    LOG_BASIC("Allocating socket failed! Error: %d", platform::lastSocketError());
    return false;
}

// Opens a receiver of the announce group on each interface of the table:
// bound to the group and port, and joined on that interface only, it
// receives the announces that arrive through its interface. False when a
// socket could not be made.
bool openReceivers(InitiatorSockets& sockets, SocketAddress* table, int32_t count) {
    const SharedSession& s = sharedSession();
    SocketAddress group{};
    group.family = platform::addressFamilyIpv4;
    group.port = platform::toNetwork16(rendezvousPort);
    (void)platform::parseDottedAddress(announceGroup, &group.address);  // a constant dotted address
    for (int32_t i = 0; i < count; ++i) {
        LOG_DETAIL("Address List, %s", platform::dotted(table[i]).text);
        LOG_DETAIL("allocating <%d> socket", i);
        const SocketHandle receiver = platform::openDatagramSocket(s.socketFlags);
        if (receiver == invalidSocket) {
            LOG_BASIC("Allocating socket failed! Error: %d", platform::lastSocketError());
            return false;
        }
        sockets.receivers[sockets.receiverCount++] = receiver;
        table[i].family = platform::addressFamilyIpv4;
        table[i].port = platform::toNetwork16(rendezvousPort);
        if (platform::bindGroupReceiver(receiver, group) != 0) {
            LOG_BASIC("Warning: Binding socket failed! Error: %d", platform::lastSocketError());
        }
        if (platform::joinGroup(receiver, group.address, table[i].address) != 0) {
            LOG_BASIC("Warning: Setsockopt failed! Error: %d", platform::lastSocketError());
        }
    }
    return true;
}

// Listening cycles, each on the interfaces usable at its start, until an
// announce arrives. Returns ok with the position of the receiver that has
// it in *readyIndex; timedOut; socketFailed when a receiver could not be
// made.
Result awaitAnnounce(InitiatorSockets& sockets, SocketAddress* table, const char* identifier,
                     uint32_t timeoutSeconds, int32_t* readyIndex) {
    int32_t count = 0;
    while (*readyIndex < 0) {
        sockets.closeReceivers();
        const Result listed = awaitUsableInterfaces(sockets.probe, table, &count, timeoutSeconds);
        if (listed != Result::ok) return listed;
        if (!openReceivers(sockets, table, count)) return Result::socketFailed;
        LOG_DETAIL("Number of usable interfaces is %d", count);
        LOG_DETAIL("Waiting for target workstation with identifier: %s to approve my connection", identifier);
        LOG_DETAIL("Looking for broadcast");
        LOG_DETAIL("Selecting...");
        platform::SelectSet waiting{};
        for (int32_t i = 0; i < sockets.receiverCount; ++i)
            waiting.handles[waiting.count++] = sockets.receivers[i];
        const int ready = waitForCycle(
            waiting, static_cast<int32_t>(
                         waitWithinLimit(timeoutSeconds, int64_t{initiatorCycleWait(timeoutSeconds)} * 1000)));
        if (timeLimitPassed(timeoutSeconds)) {
            LOG_BASIC("Connect Has Timed Out");
            return Result::timedOut;
        }
        for (int32_t i = 0; ready > 0 && i < sockets.receiverCount && *readyIndex < 0; ++i) {
            if (sockets.receivers[i] == waiting.handles[0]) *readyIndex = i;
        }
    }
    return Result::ok;
}

// Reads the announce that arrived on `receiver` (its sender becomes
// peerAddress). Returns ok when it carries `identifier`, otherIdentifier when
// it carries another, socketFailed when it cannot be read.
Result readAnnounce(SocketHandle receiver, const char* identifier) {
    SharedSession& s = sharedSession();
    s.announceAddressLength = 16;
    LOG_DETAIL("Receiving...");
    uint8_t datagram[announceReadLimit];
    const int64_t got = platform::receiveDatagram(receiver, datagram, sizeof datagram, &s.peerAddress,
                                                  &s.announceAddressLength);
    if (got < 0) {
        LOG_BASIC("recvfrom failed! Error: %d", platform::lastSocketError());
        return Result::socketFailed;
    }
    char text[announceReadLimit + 1];
    announceText(datagram, static_cast<size_t>(got), text);
    const platform::DottedAddress sender = platform::dotted(s.peerAddress);
    LOG_DETAIL("Received: %s From : %s", text, sender.text);
    if (std::strcmp(text, identifier) != 0) {
        LOG_BASIC("Rejected source workstation: %s with identifier: %s", sender.text, text);
        return Result::otherIdentifier;
    }
    LOG_DETAIL("Found target broadcasting my name");
    LOG_DETAIL("Connecting to Target workstation: %s.", sender.text);
    return Result::ok;
}

}  // namespace

Result initiatorRendezvous(const char* pairingId, uint32_t timeoutSeconds) {
    SharedSession& s = sharedSession();
    InitiatorSockets sockets;
    bool nameAccepted = false;
    // The handshake needs its own copy: the identifier lives in shared memory.
    char identifier[sizeof s.pairingId];
    std::strncpy(identifier, pairingId, sizeof identifier - 1);
    identifier[sizeof identifier - 1] = '\0';

    // A socket layer that does not start shows in the first socket that
    // cannot be made.
    (void)platform::startSocketLayer(0x0101, &s.wsaData);
    s.isInitiator = 1;

    auto finish = [&](Result value) {
        // Once the name was accepted the pairing stands, whatever follows.
        if (nameAccepted) linkUp();
        endHandshakeConnection();
        // The connect socket of a handshake that failed before the name was
        // accepted is not the data connection; it is closed all the same.
        if (s.connectSocket != invalidSocket && ownsSocket(s.connectSocket)) closeSessionSocket(s.connectSocket);
        return value;
    };

    if (!openProbe(sockets)) return finish(Result::socketFailed);
    startOperation();

    SocketAddress table[interfaceTableSize];
    int32_t readyIndex = -1;
    const Result announced = awaitAnnounce(sockets, table, identifier, timeoutSeconds, &readyIndex);
    if (announced != Result::ok) return finish(announced);
    s.interfaceIndex = readyIndex;
    sockets.closeProbe();
    if (timeLimitPassed(timeoutSeconds)) {
        LOG_BASIC("Connect Has Timed Out");
        return finish(Result::timedOut);
    }
    const Result read = readAnnounce(sockets.receivers[readyIndex], identifier);
    if (read != Result::ok) return finish(read);

    s.peerAddress.port = platform::toNetwork16(rendezvousPort);
    s.localAddress = SocketAddress{};
    s.localAddress.family = platform::addressFamilyIpv4;
    s.localAddress.address = table[readyIndex].address;
    const Result connected = connectToResponder(timeoutSeconds);
    if (connected != Result::ok) return finish(connected);
    LOG_DETAIL("Connected to Target workstation: %s.", platform::dotted(s.peerAddress).text);
    logAdapterOf(s.connectSocket);

    bool updateAsked = false;
    const Result presented = presentToResponder(timeoutSeconds, &nameAccepted, &updateAsked);
    if (presented != Result::ok || !updateAsked) return finish(presented);

    // The Responder wants this library: the handshake connection closes and
    // the file travels over a new one.
    sockets.closeReceivers();
    endHandshakeConnection();
    const Result sent = sendLibraryUpdate();
    if (sent == Result::ok) return Result::updated;  // the link stays as the transfer left it
    return finish(sent == Result::invalid ? Result::ok : Result::updateFailed);
}

}  // namespace dyadc
