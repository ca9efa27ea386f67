// responderRendezvous: the side of the pairing that makes itself known (its
// log calls it the "Target WorkStation").
//
// In cycles of about a second it lists the usable interfaces, listens on each
// (port 8181), announces the identifier on each by multicast and waits a
// second for a connection. It accepts the first one, lets the host approve the
// Initiator's computer name, compares library versions and either completes
// the pairing or receives the Initiator's newer library file. The handshake
// connection is closed before it returns; later connections arrive through
// the re-listen.
#include <cstdio>
#include <cstring>

#include "channel/line_io.h"
#include "log/log.h"
#include "rendezvous/interfaces.h"
#include "rendezvous/protocol.h"
#include "rendezvous/rendezvous.h"
#include "update/update.h"

namespace dyadc {
namespace {

constexpr uint32_t nameLineSize = 260;
constexpr uint32_t noInterfacePauseSeconds = 2;

// The sockets that one attempt owns; every one is closed, once, at its end.
struct ResponderSockets {
    SocketHandle announce = invalidSocket;
    SocketHandle listeners[interfaceTableSize];
    bool listening[interfaceTableSize] = {};
    int32_t listenerCount = 0;

    ResponderSockets() {
        for (SocketHandle& handle : listeners) handle = invalidSocket;
    }

    // Closes the listeners; the one the Session holds as listenSocket is
    // closed through it, so that the field is cleared as well.
    void closeListeners() {
        SharedSession& s = sharedSession();
        for (int32_t i = 0; i < listenerCount; ++i) {
            if (listeners[i] == invalidSocket) continue;
            if (listeners[i] == s.listenSocket && ownsSocket(s.listenSocket)) {
                closeSessionSocket(s.listenSocket);
            } else {
                closeSocket(listeners[i]);
            }
            listeners[i] = invalidSocket;
            listening[i] = false;
        }
        listenerCount = 0;
    }

    // Forgets a listener that something else has already closed.
    void forget(SocketHandle handle) {
        for (int32_t i = 0; i < listenerCount; ++i) {
            if (listeners[i] == handle) listeners[i] = invalidSocket;
        }
    }

    ~ResponderSockets() {
        closeListeners();
        if (announce != invalidSocket) closeSocket(announce);
    }
};

// Waits for the Initiator's name line. With a time limit the wait looks at the
// limit every second, also while nothing arrives; a connection that the peer
// closed or reset ends the wait (100), since no line can come any more.
int32_t readNameLine(char* line, uint32_t timeoutSeconds) {
    SharedSession& s = sharedSession();
    for (;;) {
        if (timeoutSeconds != 0) {
            while (platform::waitReadable(s.dataSocket, 1000) == 0) {
                if (timeLimitPassed(timeoutSeconds)) {
                    LOG_BASIC("Connect Has Timed Out");
                    return 101;
                }
            }
        }
        if (receiveLine(s.dataSocket, line, nameLineSize) != 0) return 0;
        if (platform::connectionBroken(s.dataSocket) ||
            platform::brokenConnectionError(processSession().lastSocketError)) {
            LOG_BASIC("Error:  The connection closed before the computer name arrived");
            return 100;
        }
        if (timeLimitPassed(timeoutSeconds)) {
            LOG_BASIC("Connect Has Timed Out");
            return 101;
        }
    }
}

}  // namespace

int32_t responderRendezvous(const char* identifier, uint32_t timeoutSeconds, DyadVerifyCallback verifyCallback) {
    SharedSession& s = sharedSession();
    ProcessSession& p = processSession();
    ResponderSockets sockets;

    LOG_DETAIL("Target WorkStation");
    platform::startSocketLayer(0x0101, &s.wsaData);
    sockets.announce = platform::openDatagramSocket(s.socketFlags);
    if (sockets.announce == invalidSocket) {
        LOG_BASIC("Allocating socket failed! Error: %d", platform::lastSocketError());
        return 1;
    }
    if (platform::setBroadcast(sockets.announce) != 0) {
        LOG_BASIC("setsockopt reuse addr failed! Error: %d", platform::lastSocketError());
        return 1;
    }
    p.operationStart = platform::currentTime();

    SocketAddress group{};
    group.family = platform::addressFamilyIpv4;
    group.port = platform::toNetwork16(rendezvousPort);
    platform::parseDottedAddress(announceGroup, &group.address);
    uint8_t datagram[identifierLimit + 1];
    const size_t datagramLength = makeAnnounce(identifier, datagram, sizeof datagram);

    SocketAddress table[interfaceTableSize];
    int32_t count = 0;
    int ready = 0;
    int32_t chosen = -1;
    while (ready == 0) {
        sockets.closeListeners();
        listUsableInterfaces(sockets.announce, table, &count);
        for (int32_t i = 0; i < count; ++i) LOG_DETAIL("Address List, %s", platform::dotted(table[i]).text);
        if (count == 0) {
            if (timeLimitPassed(timeoutSeconds)) {
                LOG_BASIC("Connect Has Timed Out");
                return 101;
            }
            LOG_DETAIL("No Usable Interfaces...will retry interface list refresh");
            platform::sleepSeconds(noInterfacePauseSeconds);
            continue;
        }
        for (int32_t i = 0; i < count; ++i) {
            LOG_BASIC("allocating <%d> socket", i);
            const SocketHandle listener = platform::openStreamSocket(s.socketFlags);
            if (listener == invalidSocket) {
                LOG_BASIC("Allocating socket failed! Error: %d", platform::lastSocketError());
                return 1;
            }
            sockets.listeners[sockets.listenerCount++] = listener;
            table[i].family = platform::addressFamilyIpv4;
            table[i].port = platform::toNetwork16(rendezvousPort);
            if (platform::bindListener(listener, table[i]) != 0) {
                LOG_BASIC("Warning: Binding socket failed! Error: %d", platform::lastSocketError());
            } else if (platform::listenOn(listener) != 0) {
                LOG_BASIC("Warning: TCP/IP Failure on listen(): %d", platform::lastSocketError());
            } else {
                sockets.listening[i] = true;
            }
        }
        LOG_DETAIL("Number of usable interfaces is %d", count);
        for (int32_t i = 0; i < count; ++i) {
            if (platform::setMulticastInterface(sockets.announce, table[i].address) != 0) {
                LOG_BASIC("Warning: setsockopt reuse addr failed! Error: %d", platform::lastSocketError());
            }
            if (platform::sendDatagram(sockets.announce, datagram, datagramLength, group) < 0) {
                LOG_BASIC("Warning: sendto failed! Error: %d", platform::lastSocketError());
            } else {
                LOG_BASIC("Broadcasting Unique ID: %s", identifier);
            }
        }
        // Only listening sockets can have a pending connection; a socket whose
        // bind or listen failed would read as ready on this platform.
        platform::SelectSet waiting{};
        for (int32_t i = 0; i < count; ++i) {
            if (sockets.listening[i]) waiting.handles[waiting.count++] = sockets.listeners[i];
        }
        LOG_BASIC("Looking for a response...");
        ready = waitForCycle(waiting, 1);
        if (timeLimitPassed(timeoutSeconds)) {
            LOG_BASIC("Connect Has Timed Out");
            return 101;
        }
        if (ready > 0) {
            for (int32_t i = 0; i < count && chosen < 0; ++i) {
                if (sockets.listeners[i] == waiting.handles[0]) chosen = i;
            }
            if (chosen < 0) ready = 0;  // not one of this cycle's listeners
        }
    }

    holdSocket(s.listenSocket, sockets.listeners[chosen]);
    s.interfaceIndex = chosen;
    LOG_DETAIL("A client has picked up on the broadcast");
    logAdapterOf(s.listenSocket);
    LOG_DETAIL("Connecting with client...");
    s.localAddress = table[chosen];
    s.localAddress.family = platform::addressFamilyIpv4;
    s.localAddress.port = platform::toNetwork16(rendezvousPort);

    const SocketHandle connection = platform::acceptConnection(s.listenSocket, &s.peerAddress, &s.acceptAddressLength);
    if (connection == invalidSocket) {
        LOG_BASIC("TCP/IP Failure on accept: %d", platform::lastSocketError());
        return 1;
    }
    LOG_DETAIL("Connected to %s", platform::dotted(s.peerAddress).text);
    logAdapterOf(connection);
    holdSocket(s.dataSocket, connection);
    s.connected = 1;
    LOG_BASIC("Retrieving Computer Name for verification from %s", platform::dotted(s.peerAddress).text);

    // The handshake connection is closed on every way out from here on.
    struct HandshakeCloser {
        ~HandshakeCloser() {
            SharedSession& session = sharedSession();
            if (session.connected == 1 && ownsSocket(session.dataSocket)) {
                closeSessionSocket(session.dataSocket);
                session.connected = 0;
            }
        }
    } closer;

    char line[nameLineSize];
    const int32_t nameRead = readNameLine(line, timeoutSeconds);
    if (nameRead != 0) return nameRead;

    LOG_DETAIL("Retrieved Computer Name: %s", line);
    const size_t length = std::strlen(line);
    line[length >= 2 ? length - 2 : 0] = '\0';
    if (verifyCallback(line) != 0) {
        sendLine(s.dataSocket, "%s", replyRefused);
        sockets.forget(s.listenSocket);
        resetSession();
        return 103;
    }
    sendLine(s.dataSocket, "%s", replyAccepted);

    LOG_DETAIL("Connected accepted, version %s", p.versionText);
    std::memset(line, 0, sizeof line);
    receiveLine(s.dataSocket, line, nameLineSize);
    const double own = versionNumber(p.versionText);
    const double theirs = versionNumber(line);
    LOG_DETAIL("comparing dll version %2.2f with version %2.2f from source", own, theirs);

    // The listening sockets close before the last reply goes out: the
    // Initiator connects again as soon as it has read it, and a connection
    // that landed on a listener about to close would be reset. The re-listen
    // then binds the interface's address again.
    sockets.closeListeners();
    if (theirs > own) {
        sendLine(s.dataSocket, replyUpdateFormat, updateCode);
        closeSessionSocket(s.dataSocket);
        s.connected = 0;
        const int32_t received = receiveLibraryUpdate();
        return received == 0 ? updateCode : received;
    }
    LOG_DETAIL("retreived %s from source", line);
    sendLine(s.dataSocket, "%s", replyAccepted);
    s.paired = 1;
    s.linkDown = 0;
    closeSessionSocket(s.dataSocket);
    s.connected = 0;
    return 0;
}

}  // namespace dyadc
