// The Session's layout and initial values, closeSocket and resetSession.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

#include "link/lease.h"
#include "session/session.h"
#include "tests/support/results.h"

namespace dyadc {
namespace {

// A connected socket pair for closing; returns one end, closes the other.
SocketHandle openSocket() {
    int pair[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    close(pair[1]);
    return pair[0];
}

bool isOpen(SocketHandle handle) {
    return fcntl(handle, F_GETFD) != -1;
}

TEST(Session, SharedFieldsKeepTheirOrderTypesAndInitialValues) {
    // Field order is part of the shared layout: each field lies after the one before.
    const size_t offsets[] = {
        offsetof(SharedSession, addressMask),
        offsetof(SharedSession, connected),
        offsetof(SharedSession, dataSocket),
        offsetof(SharedSession, pairingId),
        offsetof(SharedSession, openCount),
        offsetof(SharedSession, paired),
        offsetof(SharedSession, isInitiator),
        offsetof(SharedSession, bytesTransferred),
        offsetof(SharedSession, socketFlags),
        offsetof(SharedSession, socketTimeoutMs),
        offsetof(SharedSession, useAddressMask),
        offsetof(SharedSession, connectSocket),
        offsetof(SharedSession, peerAddress),
        offsetof(SharedSession, relistenSocket),
        offsetof(SharedSession, listenSocket),
        offsetof(SharedSession, localAddress),
        offsetof(SharedSession, acceptAddressLength),
        offsetof(SharedSession, announceAddressLength),
        offsetof(SharedSession, interfaceIndex),
        offsetof(SharedSession, blockBytesReceived),
        offsetof(SharedSession, blockSize),
        offsetof(SharedSession, blockType),
        offsetof(SharedSession, readSet),
        offsetof(SharedSession, wsaData),
        offsetof(SharedSession, linkDown),
        offsetof(SharedSession, socketOwner),
    };
    for (size_t i = 1; i < sizeof offsets / sizeof offsets[0]; ++i) EXPECT_LT(offsets[i - 1], offsets[i]) << i;
    EXPECT_EQ(sizeof SharedSession::addressMask, 20u);
    EXPECT_EQ(sizeof SharedSession::pairingId, 64u);
    EXPECT_EQ(sizeof SharedSession::bytesTransferred, 8u);
    EXPECT_EQ(sizeof SharedSession::peerAddress, 16u);
    EXPECT_EQ(sizeof(platform::SelectSet::handles) / sizeof(SocketHandle), 64u);
    EXPECT_EQ(sizeof ProcessSession::versionText, 15u);
    EXPECT_EQ(sizeof ProcessSession::logPath, 500u);

    SharedSession s;
    std::memset(&s, 0x5A, sizeof s);
    applySharedInitialValues(s);
    EXPECT_STREQ(s.addressMask, "");
    EXPECT_STREQ(s.pairingId, " ");
    EXPECT_EQ(s.connected, 0);
    EXPECT_EQ(s.paired, 0);
    EXPECT_EQ(s.linkDown, 1);
    EXPECT_EQ(s.dataSocket, -1);
    EXPECT_EQ(s.connectSocket, -1);
    EXPECT_EQ(s.relistenSocket, -1);
    EXPECT_EQ(s.listenSocket, -1);
    EXPECT_EQ(s.socketTimeoutMs, 1000);
    EXPECT_EQ(s.acceptAddressLength, 16);
    EXPECT_EQ(s.announceAddressLength, 0);
    EXPECT_EQ(s.bytesTransferred, 0.0);
    EXPECT_EQ(s.openCount, 0u);
    EXPECT_EQ(s.socketOwner, 0);
    EXPECT_EQ(s.peerAddress.address, 0u);

    ProcessSession p;
    std::memset(&p, 0x5A, sizeof p);
    applyProcessInitialValues(p);
    EXPECT_STREQ(p.logPath, "/tmp/dyadc.log");
    EXPECT_STREQ(p.versionText, "");
    EXPECT_EQ(p.logEnabled + p.logDetail + p.logForced + p.openTicket, 0);
    EXPECT_EQ(p.logSizeLimit, 0u);
}

TEST(Session, CloseSocketAlwaysFreesTheConnection) {
    SharedSession& s = sharedSession();
    s.socketOwner = 7;
    EXPECT_EQ(closeSocket(invalidSocket), 100);
    EXPECT_EQ(s.socketOwner, 0);

    SocketHandle open = openSocket();
    s.socketOwner = 3;  // whichever process owned it
    s.socketOwnerProcess = 1;
    EXPECT_EQ(closeSocket(open), 0);
    EXPECT_EQ(s.socketOwner, 0);
    EXPECT_EQ(s.socketOwnerProcess, 0u);
    EXPECT_FALSE(isOpen(open));
}

TEST(Session, ResetClosesEverySocketOnceAndKeepsThePairingIdentity) {
    SharedSession& s = sharedSession();
    SocketHandle connection = openSocket();
    SocketHandle listener = openSocket();
    holdSocket(s.connectSocket, connection);
    copySocket(s.dataSocket, s.connectSocket);  // the Initiator's data connection is its connect socket
    holdSocket(s.listenSocket, listener);
    s.connected = 1;
    s.paired = 1;
    s.isInitiator = 1;
    s.linkDown = 0;
    s.openCount = 3;
    s.bytesTransferred = 12.0;
    s.blockSize = 10;
    s.blockBytesReceived = 4;
    s.blockType = 7;
    s.interfaceIndex = 2;
    s.acceptAddressLength = 5;
    s.announceAddressLength = 16;
    s.useAddressMask = 1;
    std::strcpy(s.addressMask, "192.168.");
    std::strcpy(s.pairingId, "LAB7");
    s.peerAddress.address = 0x01020304;
    s.localAddress.address = 0x05060708;

    resetSession();

    EXPECT_FALSE(isOpen(connection));
    EXPECT_FALSE(isOpen(listener));
    EXPECT_EQ(s.dataSocket, -1);
    EXPECT_EQ(s.connectSocket, -1);
    EXPECT_EQ(s.listenSocket, -1);
    EXPECT_EQ(s.relistenSocket, -1);
    EXPECT_EQ(s.connected, 0);
    EXPECT_EQ(s.paired, 0);
    EXPECT_EQ(s.isInitiator, 0);
    EXPECT_EQ(s.linkDown, 1);
    EXPECT_EQ(s.openCount, 0u);
    EXPECT_EQ(s.bytesTransferred, 0.0);
    EXPECT_EQ(s.blockSize, 0u);
    EXPECT_EQ(s.blockBytesReceived, 0u);
    EXPECT_EQ(s.blockType, 0);
    EXPECT_EQ(s.interfaceIndex, 0);
    EXPECT_EQ(s.acceptAddressLength, 16);
    EXPECT_EQ(s.announceAddressLength, 0);
    EXPECT_EQ(s.socketOwner, 0);
    // What the reset keeps.
    EXPECT_STREQ(s.pairingId, "LAB7");
    EXPECT_STREQ(s.addressMask, "192.168.");
    EXPECT_EQ(s.useAddressMask, 1);
    EXPECT_EQ(s.peerAddress.address, 0x01020304u);
    EXPECT_EQ(s.localAddress.address, 0x05060708u);
}

TEST(Session, AnotherProcessesHandleIsForgottenNeverClosed) {
    SharedSession& s = sharedSession();
    SocketHandle mine = openSocket();
    // The same number, recorded as made by another process: this process must
    // not close its own, unrelated descriptor of that number.
    s.dataSocket = mine;
    s.dataSocketProcess = platform::currentProcess() + (uint64_t{100000} << 32);
    EXPECT_FALSE(ownsSocket(s.dataSocket));
    closeSessionSocket(s.dataSocket);
    EXPECT_TRUE(isOpen(mine));
    EXPECT_EQ(s.dataSocket, -1);
    close(mine);
}

// A mark names its process by its identity. Only a running process holds it:
// one that has ended, also before its parent waited for it, or an identity
// that the process's place in the workstation no longer holds, leaves the
// mark stale. A forked child is a process of its own.
TEST(Session, MarksAreTakenOnceAndAStaleMarkIsCleared) {
    SharedSession& s = sharedSession();
    processSession().openTicket = 4;
    struct Mark {
        bool (*take)();
        platform::ProcessIdentity SharedSession::*holder;
    } marks[] = {{takeSendingMark, &SharedSession::socketOwnerProcess},
                 {takeReceivingMark, &SharedSession::receivingProcess}};
    for (const Mark& mark : marks) {
        s.*mark.holder = 0;
        EXPECT_TRUE(mark.take());
        EXPECT_EQ(s.*mark.holder, platform::currentProcess());
        EXPECT_EQ(platform::processIdOf(s.*mark.holder), getpid());
        EXPECT_TRUE(mark.take()) << "already ours";

        int report[2];
        ASSERT_EQ(pipe(report), 0);
        pid_t other = fork();
        if (other == 0) {
            const platform::ProcessIdentity mine = platform::currentProcess();
            if (write(report[1], &mine, sizeof mine) != sizeof mine) _exit(1);
            pause();
            _exit(0);
        }
        platform::ProcessIdentity running = 0;
        EXPECT_EQ(read(report[0], &running, sizeof running), static_cast<ssize_t>(sizeof running));
        close(report[0]);
        close(report[1]);
        EXPECT_NE(running, platform::currentProcess());
        EXPECT_EQ(platform::processIdOf(running), other);
        EXPECT_EQ(platform::processIdentityOf(other), running);
        struct Holder {
            const char* what;
            platform::ProcessIdentity identity;
            bool stale;
        } holders[] = {{"a running process", running, false},
                       {"its id with another start", running ^ 1, true},
                       {"a killed process not waited for", running, true}};
        for (const Holder& holder : holders) {
            if (holder.identity == running && holder.stale) {
                kill(other, SIGKILL);
                for (int i = 0; i < 2000 && platform::processAlive(running); ++i) usleep(1000);
                EXPECT_EQ(kill(other, 0), 0) << "not waited for: its id is still taken";
            }
            s.*mark.holder = holder.identity;
            EXPECT_EQ(mark.take(), holder.stale) << holder.what;
            if (holder.stale) EXPECT_EQ(s.*mark.holder, platform::currentProcess()) << holder.what;
        }
        waitpid(other, nullptr, 0);
    }
    EXPECT_EQ(s.socketOwner, 4);
    releaseReceivingMark();
    EXPECT_EQ(s.receivingProcess, 0u);
    releaseSendingMark();
    EXPECT_EQ(s.socketOwnerProcess, 0u);
    EXPECT_EQ(s.socketOwner, 0);
}

}  // namespace
}  // namespace dyadc
