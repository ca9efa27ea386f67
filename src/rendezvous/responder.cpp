// responderRendezvous: the side of the pairing that makes itself known (its
// log calls it the "Target WorkStation").
//
// In cycles of about a second it lists the usable interfaces, listens on each
// (port 8181), announces the identifier on each by multicast and waits for
// connections for the rest of the second. Every connection it accepts must
// present the Initiator's computer name within a few seconds (a genuine
// Initiator sends it at once): one that stays silent, sends a name line
// without end, or closes first is dropped and logged, and the announcing goes
// on, so that neither a silent connection nor a flood of them or a port scan
// keeps the genuine Initiator from pairing. Up to 40 such connections wait at
// once; the oldest gives way to a newer one. The first connection whose name
// line is complete is the Initiator: the host approves or refuses its name,
// the versions are compared, and the pairing completes or the Initiator's
// newer library file is received. A received file that is no library for
// this system (an Initiator of another system or architecture) is removed,
// and the attempt goes on announcing: the Initiator comes again with the same
// version, which is then answered as an equal one. The handshake connection
// is closed before the attempt returns; later connections arrive through the
// re-listen.
#include <cstdio>
#include <cstring>
#include <optional>

#include "link/link.h"
#include "log/log.h"
#include "rendezvous/interfaces.h"
#include "rendezvous/rendezvous.h"
#include "session/results.h"
#include "session/time_limit.h"
#include "update/update.h"
#include "wire/line_io.h"
#include "wire/protocol.h"

namespace dyadc {
namespace {

constexpr int64_t cycleMilliseconds = 1000;
// How long an accepted connection has to present the computer name, and the
// version line after the name was accepted.
constexpr int64_t nameWaitMilliseconds = 3000;
// Accepted connections waiting for their name line at once (with 20
// listeners, 60 of the 64 handles of a read set).
constexpr int32_t pendingLimit = 40;
// Connections accepted from one listener before the others are looked at.
constexpr int32_t acceptBurst = 64;

// An accepted connection that has not presented a computer name yet.
struct Handshake {
    SocketHandle socket = invalidSocket;
    SocketAddress peer{};
    int32_t interfaceIndex = 0;  // its listener's position in the interface table
    SocketAddress local{};       // that interface's address, port 8181
    int64_t acceptedAt = 0;
    PartialLine name;
};

// The sockets that one attempt owns; every one is closed, once, at its end.
struct ResponderSockets {
    SocketHandle announce = invalidSocket;
    SocketHandle listeners[interfaceTableSize];
    bool listening[interfaceTableSize] = {};
    int32_t listenerCount = 0;
    Handshake pending[pendingLimit];  // in the order they were accepted
    int32_t pendingCount = 0;

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
                (void)closeSocket(listeners[i]);  // a valid handle: ok
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

    // Takes a waiting connection out of the list; its socket is the caller's.
    Handshake take(int32_t index) {
        Handshake taken = pending[index];
        for (int32_t i = index + 1; i < pendingCount; ++i) pending[i - 1] = pending[i];
        --pendingCount;
        return taken;
    }

    // Drops a waiting connection and says why.
    void drop(int32_t index, const char* why) {
        const Handshake dropped = take(index);
        LOG_BASIC("Warning: Dropped the connection from %s: %s", platform::dotted(dropped.peer).text, why);
        (void)closeSocket(dropped.socket);  // a valid handle: ok
    }

    ~ResponderSockets() {
        closeListeners();
        // Valid handles, each closed once: every close is ok.
        while (pendingCount > 0) (void)closeSocket(take(pendingCount - 1).socket);
        if (announce != invalidSocket) (void)closeSocket(announce);
    }
};

// Opens and binds the listeners of one cycle, one per table entry.
// Returns false when a socket cannot be made at all.
bool openListeners(ResponderSockets& sockets, SocketAddress* table, int32_t count) {
    SharedSession& s = sharedSession();
    for (int32_t i = 0; i < count; ++i) {
        LOG_BASIC("allocating <%d> socket", i);
        const SocketHandle listener = platform::openStreamSocket(s.socketFlags);
        if (listener == invalidSocket) {
            LOG_BASIC("Allocating socket failed! Error: %d", platform::lastSocketError());
            return false;
        }
        sockets.listeners[sockets.listenerCount++] = listener;
        table[i].family = platform::addressFamilyIpv4;
        table[i].port = platform::toNetwork16(rendezvousPort);
        if (platform::bindListener(listener, table[i]) != 0) {
            const int32_t error = platform::lastSocketError();
            LOG_BASIC("Warning: Binding socket failed! Error: %d", error);
            explainPortInUse(error, table[i]);
        } else if (platform::listenOn(listener) != 0) {
            LOG_BASIC("Warning: TCP/IP Failure on listen(): %d", platform::lastSocketError());
        } else {
            sockets.listening[i] = true;
        }
    }
    return true;
}

void announceOn(SocketHandle announce, const SocketAddress* table, int32_t count, const uint8_t* datagram,
                size_t length, const char* identifier) {
    SocketAddress group{};
    group.family = platform::addressFamilyIpv4;
    group.port = platform::toNetwork16(rendezvousPort);
    (void)platform::parseDottedAddress(announceGroup, &group.address);  // a constant dotted address
    for (int32_t i = 0; i < count; ++i) {
        if (platform::setMulticastInterface(announce, table[i].address) != 0) {
            LOG_BASIC("Warning: setsockopt reuse addr failed! Error: %d", platform::lastSocketError());
        }
        if (platform::sendDatagram(announce, datagram, length, group) < 0) {
            LOG_BASIC("Warning: sendto failed! Error: %d", platform::lastSocketError());
        } else {
            LOG_BASIC("Broadcasting Unique ID: %s", identifier);
        }
    }
}

// Reads what has arrived of a waiting connection's name line. Returns true
// when the line is complete; drops the connection when it cannot complete.
bool serve(ResponderSockets& sockets, int32_t index) {
    const LineResult state = continueLine(sockets.pending[index].socket, sockets.pending[index].name);
    if (state == LineRead::complete) return true;
    if (state == LineRead::failed) {
        sockets.drop(index, state.error == platform::errorMessageTooLong
                                ? "its computer name line has no end"
                                : "it closed before it sent a computer name");
    }
    return false;
}

// Accepts the connections pending on listener `index`, each with whatever of
// its name line has arrived. Returns the position of a waiting connection
// whose name line is complete, or -1.
int32_t acceptFrom(ResponderSockets& sockets, int32_t index, const SocketAddress& local) {
    SharedSession& s = sharedSession();
    const SocketHandle listener = sockets.listeners[index];
    LOG_DETAIL("A client has picked up on the broadcast");
    logAdapterOf(listener);
    LOG_DETAIL("Connecting with client...");
    for (int32_t accepted = 0; accepted < acceptBurst && platform::waitReadable(listener, 0) > 0; ++accepted) {
        SocketAddress peer{};
        const SocketHandle connection = platform::acceptConnection(listener, &peer, &s.acceptAddressLength);
        if (connection == invalidSocket) {
            LOG_BASIC("TCP/IP Failure on accept: %d", platform::lastSocketError());
            return -1;
        }
        LOG_DETAIL("Connected to %s", platform::dotted(peer).text);
        logAdapterOf(connection);
        LOG_BASIC("Retrieving Computer Name for verification from %s", platform::dotted(peer).text);
        if (sockets.pendingCount == pendingLimit) sockets.drop(0, "too many connections wait for their name");
        Handshake& handshake = sockets.pending[sockets.pendingCount++];
        handshake = Handshake{};
        handshake.socket = connection;
        handshake.peer = peer;
        handshake.interfaceIndex = index;
        handshake.local = local;
        handshake.acceptedAt = platform::monotonicMilliseconds();
        // A genuine Initiator's name is usually there already.
        const int32_t at = sockets.pendingCount - 1;
        if (platform::waitReadable(connection, 0) > 0 && serve(sockets, at)) return at;
    }
    return -1;
}

// Waits for connections and their name lines for the rest of one cycle, or
// until the time limit if that comes first. Returns the position of the
// waiting connection whose name line is complete, or -1 when the cycle ended
// without one.
int32_t awaitName(ResponderSockets& sockets, const SocketAddress* table, int32_t count, uint32_t timeoutSeconds) {
    const int64_t cycleEnd = platform::monotonicMilliseconds() +
                             waitWithinLimit(timeoutSeconds, cycleMilliseconds);
    for (;;) {
        // Only listening sockets can have a pending connection; a socket whose
        // bind or listen failed would read as ready on this platform.
        platform::SelectSet waiting{};
        for (int32_t i = 0; i < count; ++i) {
            if (sockets.listening[i]) waiting.handles[waiting.count++] = sockets.listeners[i];
        }
        int64_t until = cycleEnd;
        for (int32_t i = 0; i < sockets.pendingCount; ++i) {
            waiting.handles[waiting.count++] = sockets.pending[i].socket;
            const int64_t expiry = sockets.pending[i].acceptedAt + nameWaitMilliseconds;
            if (expiry < until) until = expiry;
        }
        const int64_t wait = until - platform::monotonicMilliseconds();
        const int ready = waitForCycle(waiting, static_cast<int32_t>(wait > 0 ? wait : 0));
        for (int r = 0; r < ready; ++r) {
            const SocketHandle handle = waiting.handles[r];
            for (int32_t i = 0; i < count; ++i) {
                if (sockets.listening[i] && sockets.listeners[i] == handle) {
                    const int32_t named = acceptFrom(sockets, i, table[i]);
                    if (named >= 0) return named;
                }
            }
            for (int32_t i = 0; i < sockets.pendingCount; ++i) {
                if (sockets.pending[i].socket == handle) {
                    if (serve(sockets, i)) return i;
                    break;
                }
            }
        }
        const int64_t now = platform::monotonicMilliseconds();
        for (int32_t i = sockets.pendingCount - 1; i >= 0; --i) {
            if (now - sockets.pending[i].acceptedAt >= nameWaitMilliseconds) {
                sockets.drop(i, "no computer name within 3 seconds");
            }
        }
        if (now >= cycleEnd) return -1;
    }
}

// Announce cycles until a connection presents a computer name: each lists
// the usable interfaces into `table` and `*count` (a list that cannot be read
// leaves them as they were), listens and announces on each, and waits for
// the rest of its second. Returns ok with the position of that connection
// among the waiting ones in *named; timedOut when the time limit passed;
// socketFailed when a listening socket could not be made.
Result announceUntilNamed(ResponderSockets& sockets, SocketAddress* table, int32_t* count, const uint8_t* datagram,
                          size_t datagramLength, const char* identifier, uint32_t timeoutSeconds, int32_t* named) {
    for (;;) {
        sockets.closeListeners();
        const Result listed = awaitUsableInterfaces(sockets.announce, table, count, timeoutSeconds);
        if (listed != Result::ok) return listed;
        for (int32_t i = 0; i < *count; ++i) LOG_DETAIL("Address List, %s", platform::dotted(table[i]).text);
        if (!openListeners(sockets, table, *count)) return Result::socketFailed;
        LOG_DETAIL("Number of usable interfaces is %d", *count);
        announceOn(sockets.announce, table, *count, datagram, datagramLength, identifier);
        LOG_BASIC("Looking for a response...");
        *named = awaitName(sockets, table, *count, timeoutSeconds);
        if (*named >= 0) return Result::ok;
        if (timeLimitPassed(timeoutSeconds)) {
            LOG_BASIC("Connect Has Timed Out");
            return Result::timedOut;
        }
    }
}

}  // namespace

Result answerInitiator(char* nameLine, DyadVerifyCallback verifyCallback, double declinedVersion,
                       double* offeredVersion, bool* updateWanted) {
    SharedSession& s = sharedSession();
    ProcessSession& p = processSession();
    LOG_DETAIL("Retrieved Computer Name: %s", nameLine);
    const size_t length = std::strlen(nameLine);
    nameLine[length >= 2 ? length - 2 : 0] = '\0';
    if (verifyCallback(nameLine) != 0) {
        // Refused whether or not the refusal reaches the Initiator: its own
        // wait for an answer ends at its limit.
        (void)sendLine(s.dataSocket, "%s", replyRefused);
        resetSession();
        return Result::refused;
    }
    // An Initiator that does not learn of its acceptance is not paired.
    if (sendLine(s.dataSocket, "%s", replyAccepted) != Result::ok) return Result::connectionFailed;

    LOG_DETAIL("Connected accepted, version %s", p.versionText);
    char version[PartialLine::size];
    // A version that does not come in time is no newer one: the pairing
    // stands once the name is accepted, and no update is asked for.
    (void)receiveLine(s.dataSocket, version, sizeof version, Deadline::after(nameWaitMilliseconds));
    LOG_DETAIL("comparing dll version %2.2f with version %2.2f from source", versionNumber(p.versionText),
               versionNumber(version));
    *offeredVersion = versionNumber(version);
    *updateWanted = dyadc::updateWanted(p.versionText, version);
    if (*updateWanted && declinedVersion != 0 && *offeredVersion == declinedVersion) {
        LOG_DETAIL("The update of version %2.2f was no library for this system: not asked for again",
                   declinedVersion);
        *updateWanted = false;
    }
    if (!*updateWanted) LOG_DETAIL("retreived %s from source", version);
    return Result::ok;
}

namespace {

// Opens the socket that sends the announces. False when it cannot be made
// or allowed to send to a group.
bool openAnnounceSocket(ResponderSockets& sockets) {
    sockets.announce = platform::openDatagramSocket(sharedSession().socketFlags);
    if (sockets.announce == invalidSocket) {
        LOG_BASIC("Allocating socket failed! Error: %d", platform::lastSocketError());
        return false;
    }
    if (platform::setBroadcast(sockets.announce) != 0) {
        LOG_BASIC("setsockopt reuse addr failed! Error: %d", platform::lastSocketError());
        return false;
    }
    return true;
}

// Makes the waiting connection at `named` the Initiator's: its connection
// becomes the Session's data connection, and its interface the pairing's.
Handshake takeInitiator(ResponderSockets& sockets, int32_t named) {
    SharedSession& s = sharedSession();
    Handshake initiator = sockets.take(named);
    s.interfaceIndex = initiator.interfaceIndex;
    if (initiator.interfaceIndex < sockets.listenerCount && sockets.listening[initiator.interfaceIndex]) {
        holdSocket(s.listenSocket, sockets.listeners[initiator.interfaceIndex]);
    }
    s.localAddress = initiator.local;
    s.peerAddress = initiator.peer;
    adoptHandshakeConnection(initiator.socket);
    return initiator;
}

// Pairs with the Initiator whose name line `nameLine` arrived on the data
// connection: the host approves the name, the versions are compared, and the
// update is received when the Initiator's is newer. Returns the attempt's
// result, or nothing when the update was no library for this system: the
// announcing then goes on, and *declinedVersion is the version declined.
std::optional<Result> pairWith(ResponderSockets& sockets, char* nameLine, DyadVerifyCallback verifyCallback,
                               double* declinedVersion) {
    SharedSession& s = sharedSession();
    // The handshake connection is closed on every way out from here on.
    struct HandshakeCloser {
        ~HandshakeCloser() { endHandshakeConnection(); }
    } closer;

    bool theirsNewer = false;
    double offeredVersion = 0;
    const SocketHandle listener = s.listenSocket;
    const Result answered = answerInitiator(nameLine, verifyCallback, *declinedVersion, &offeredVersion,
                                            &theirsNewer);
    if (answered == Result::refused) {
        sockets.forget(listener);  // the reset closed it
        return Result::refused;
    }
    // The acceptance did not leave: the Initiator is not paired.
    if (answered != Result::ok) return answered;

    // The listening sockets close before the last reply goes out: the
    // Initiator connects again as soon as it has read it, and a connection
    // that landed on a listener about to close would be reset. The re-listen
    // then binds the interface's address again.
    sockets.closeListeners();
    if (!theirsNewer) {
        // The Initiator's pairing ends with this reply: without it, it has none.
        if (sendLine(s.dataSocket, "%s", replyAccepted) != Result::ok) return Result::connectionFailed;
        s.paired = 1;
        linkUp();
        endHandshakeConnection();
        return Result::ok;
    }
    // An Initiator that is not asked sends nothing: no use waiting for it.
    if (sendLine(s.dataSocket, replyUpdateFormat, updateCode) != Result::ok) return Result::connectionFailed;
    endHandshakeConnection();
    bool kept = false;
    const Result received = receiveLibraryUpdate(&kept);
    if (received != Result::ok) return received;
    if (kept) return Result::updated;
    // The file was no library for this system, and the host has no update to
    // install. The Initiator's open starts its rendezvous once more after an
    // update and presents the same version again: that is answered as an
    // equal one, so the two pair within the same calls.
    *declinedVersion = offeredVersion;
    return std::nullopt;
}

}  // namespace

Result responderRendezvous(const char* identifier, uint32_t timeoutSeconds, DyadVerifyCallback verifyCallback) {
    ResponderSockets sockets;
    LOG_DETAIL("Target WorkStation");
    // A socket layer that does not start shows in the first socket that
    // cannot be made.
    (void)platform::startSocketLayer(0x0101, &sharedSession().wsaData);
    if (!openAnnounceSocket(sockets)) return Result::socketFailed;
    startOperation();

    uint8_t datagram[identifierLimit + 1];
    const size_t datagramLength = makeAnnounce(identifier, datagram, sizeof datagram);
    SocketAddress table[interfaceTableSize];
    int32_t count = 0;
    // The Initiator's version whose update was no library for this system,
    // or 0.
    double declinedVersion = 0;
    for (;;) {
        int32_t named = -1;
        const Result announced = announceUntilNamed(sockets, table, &count, datagram, datagramLength, identifier,
                                                    timeoutSeconds, &named);
        if (announced != Result::ok) return announced;
        Handshake initiator = takeInitiator(sockets, named);
        if (const std::optional<Result> paired = pairWith(sockets, initiator.name.text, verifyCallback,
                                                          &declinedVersion)) {
            return *paired;
        }
        // The announcing goes on, its time limit starting again as the
        // Initiator's does.
        startOperation();
    }
}

}  // namespace dyadc
