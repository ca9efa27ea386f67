// The links after the pairing: the Initiator's reconnection and the
// Responder's re-listen, between simulated workstations.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>

#include "link/link.h"
#include "tests/support/fixtures.h"
#include "tests/support/results.h"

namespace dyadc {
namespace {

using namespace std::chrono;
using test::Lan;
using test::LogCapture;

// A connection from FROM to the Responder's port in its `window`th window
// (the Responder logs "Reconnecting to" its paired Initiator once it listens):
// the workstation's thread starts before the window opens.
int connectInWindow(const LogCapture& log, const char* from, size_t window = 1) {
    if (!test::waitForLog(log.path(), "Reconnecting to 192.168.10.2", seconds(20), window)) return -1;
    return test::connectTcp(from, "192.168.10.1", 8181);
}

// Workstation 1 runs the library in this process; 2 (and 3) are its peers.
class Link : public testing::Test {
protected:
    void SetUp() override {
        test::freshSession();
        Lan::Options options;
        options.hosts = hosts();
        options.synRetries = 1;
        lan = std::make_unique<Lan>(options);
        ASSERT_TRUE(lan->ok());
        ASSERT_TRUE(lan->enter(1));
    }
    virtual int hosts() const { return 2; }
    std::unique_ptr<Lan> lan;
};

TEST_F(Link, ReconnectReachesTheResponderWithOneSecondTimeOuts) {
    SharedSession& s = sharedSession();
    std::atomic<int> listener{-1};
    std::atomic<bool> done{false};
    std::thread responder = test::inWorkstation(*lan, 2, [&] {
        listener = test::listenTcp("192.168.10.2", 8181);
        int connection = test::acceptTcp(listener, 10000);
        while (!done) std::this_thread::sleep_for(milliseconds(10));
        if (connection >= 0) close(connection);
    });
    while (listener == -1) std::this_thread::sleep_for(milliseconds(10));
    test::setAddress(s.peerAddress, "192.168.10.2", 0);
    test::setAddress(s.localAddress, "192.168.10.1", 0);
    LogCapture log;
    EXPECT_EQ(initiatorReconnect(), 0);
    EXPECT_EQ(s.connected, 1);
    EXPECT_EQ(s.linkDown, 0);
    EXPECT_NE(s.dataSocket, invalidSocket);
    EXPECT_EQ(s.dataSocket, s.connectSocket);
    EXPECT_TRUE(ownsSocket(s.dataSocket));
    EXPECT_EQ(ntohs(s.peerAddress.port), 8181);
    EXPECT_TRUE(log.has("Reconnecting to 192.168.10.2"));
    EXPECT_TRUE(log.has("Using NIC with IP address 192.168.10.1"));
    EXPECT_TRUE(log.has("ReConnected to Target workstation: 192.168.10.2."));
    EXPECT_TRUE(log.has("On Network Adapter associated with IP address: 192.168.10.1"));

    // A receive with nothing arriving returns after about a second.
    char byte;
    auto start = steady_clock::now();
    EXPECT_LT(platform::receiveSome(s.dataSocket, &byte, 1), 0);
    EXPECT_EQ(platform::lastSocketError(), platform::errorTimedOut);
    EXPECT_LT(steady_clock::now() - start, seconds(3));
    closeSessionSocket(s.dataSocket);
    done = true;
    responder.join();
    close(listener);
}

TEST_F(Link, ReconnectRefusedClosesItsSocket) {
    SharedSession& s = sharedSession();
    test::setAddress(s.peerAddress, "192.168.10.2", 8181);
    test::setAddress(s.localAddress, "192.168.10.1", 0);
    s.linkDown = 0;
    LogCapture log;
    EXPECT_EQ(initiatorReconnect(), 100);
    EXPECT_EQ(s.linkDown, 1);
    EXPECT_EQ(s.connected, 0);
    EXPECT_EQ(s.connectSocket, invalidSocket);
    EXPECT_TRUE(log.has("connect to data socket failed! Error: 10061"));
    EXPECT_TRUE(log.has("closing local socket"));
}

TEST_F(Link, ReconnectToAGoneResponderTimesOut) {
    SharedSession& s = sharedSession();
    test::setAddress(s.peerAddress, "192.168.10.99", 8181);  // nobody has it
    test::setAddress(s.localAddress, "192.168.10.1", 0);
    s.linkDown = 0;
    LogCapture log;
    const auto began = steady_clock::now();
    EXPECT_EQ(initiatorReconnect(), 101);
    // The requests without answer are repeated from new ports, all within the
    // one socket time-out of a second.
    const auto took = duration_cast<milliseconds>(steady_clock::now() - began).count();
    EXPECT_GE(took, 990);
    EXPECT_LE(took, 3000) << "one time-out of a second, with room for a loaded machine";
    EXPECT_TRUE(log.has("No answer to the connection request in 250 us: asking again from a new port"));
    EXPECT_TRUE(log.has("connect to data socket failed! Error: 10060"));
    EXPECT_EQ(s.linkDown, 1);
}

TEST_F(Link, ReconnectFromAnAdapterTheHostNoLongerHasFails) {
    SharedSession& s = sharedSession();
    test::setAddress(s.peerAddress, "192.168.10.2", 8181);
    test::setAddress(s.localAddress, "192.168.77.1", 0);
    s.linkDown = 0;
    LogCapture log;
    EXPECT_EQ(initiatorReconnect(), 100);
    EXPECT_EQ(s.linkDown, 1);
    EXPECT_TRUE(log.has("Socket bind to local adapter <192.168.77.1> failed <10049>"));
}

TEST_F(Link, RelistenAcceptsTheInitiatorWithinTheWindow) {
    SharedSession& s = sharedSession();
    test::setAddress(s.localAddress, "192.168.10.1", 8181);
    test::setAddress(s.peerAddress, "192.168.10.2", 0);
    LogCapture log;
    std::thread initiator = test::inWorkstation(*lan, 2, [&log] {
        int fd = connectInWindow(log, "192.168.10.2");
        EXPECT_GE(fd, 0);
        char byte;
        if (fd >= 0) {
            (void)read(fd, &byte, 1);  // until the Responder closes
            close(fd);
        }
    });
    EXPECT_EQ(responderRelisten(), 0);
    EXPECT_EQ(s.connected, 1);
    EXPECT_EQ(s.linkDown, 0);
    EXPECT_EQ(s.relistenSocket, invalidSocket);
    EXPECT_TRUE(ownsSocket(s.dataSocket));
    EXPECT_TRUE(log.has("Reconnected to 192.168.10.2"));
    EXPECT_TRUE(log.has("On Network Adapter associated with IP address: 192.168.10.1"));
    closeSessionSocket(s.dataSocket);
    s.connected = 0;
    initiator.join();
}

TEST_F(Link, EmptyWindowEndsAfterFiveSecondsAndFreesThePort) {
    SharedSession& s = sharedSession();
    test::setAddress(s.localAddress, "192.168.10.1", 8181);
    LogCapture log;
    auto start = steady_clock::now();
    EXPECT_EQ(responderRelisten(), 101);
    auto took = steady_clock::now() - start;
    EXPECT_GE(took, milliseconds(4900));
    EXPECT_LT(took, seconds(7));
    EXPECT_TRUE(log.has("No requests on the queue"));
    EXPECT_EQ(s.linkDown, 1);
    EXPECT_EQ(s.connected, 0);
    int again = test::listenTcp("192.168.10.1", 8181);
    EXPECT_GE(again, 0) << "nothing listens between windows";
    close(again);
}

TEST_F(Link, PortHeldByAnotherProgramFailsTheBind) {
    SharedSession& s = sharedSession();
    test::setAddress(s.localAddress, "192.168.10.1", 8181);
    int other = test::listenTcp("192.168.10.1", 8181);
    ASSERT_GE(other, 0);
    LogCapture log;
    EXPECT_EQ(responderRelisten(), 100);
    EXPECT_TRUE(log.has("Reusing Local socket associated to 192.168.10.1"));
    EXPECT_TRUE(log.has("TCP/IP Failure on bind() for listen socket: 10048"));
    EXPECT_TRUE(
        log.has("Port 8181 on 192.168.10.1 is taken by another listener: another workstation on this "
                "machine uses the same address (each needs its own)"));
    EXPECT_EQ(s.relistenSocket, invalidSocket);
    close(other);
}

TEST_F(Link, RepeatedWindowsBindAfterActivelyClosedConnections) {
    SharedSession& s = sharedSession();
    test::setAddress(s.localAddress, "192.168.10.1", 8181);
    test::setAddress(s.peerAddress, "192.168.10.2", 0);
    LogCapture log;
    std::thread initiator = test::inWorkstation(*lan, 2, [&log] {
        for (size_t window = 1; window <= 3; ++window) {
            int fd = connectInWindow(log, "192.168.10.2", window);
            char byte;
            if (fd >= 0) {
                (void)read(fd, &byte, 1);
                close(fd);
            }
        }
    });
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(responderRelisten(), 0) << i;
        // The Responder closes first: its side keeps TIME_WAIT entries.
        closeSessionSocket(s.dataSocket);
        s.connected = 0;
    }
    initiator.join();
}

class LinkWithStranger : public Link {
protected:
    int hosts() const override { return 3; }
};

TEST_F(LinkWithStranger, RelistenRefusesEveryoneButThePairedInitiator) {
    SharedSession& s = sharedSession();
    test::setAddress(s.localAddress, "192.168.10.1", 8181);
    test::setAddress(s.peerAddress, "192.168.10.2", 8181);
    std::atomic<bool> strangerRefused{false};
    std::promise<void> strangerTurnedAway;
    std::future<void> turnedAway = strangerTurnedAway.get_future();
    LogCapture log;
    std::thread stranger = test::inWorkstation(*lan, 3, [&] {
        int fd = connectInWindow(log, "192.168.10.3");
        char byte;
        // Closed at once: the read ends without data.
        strangerRefused = fd >= 0 && read(fd, &byte, 1) <= 0;
        if (fd >= 0) close(fd);
        strangerTurnedAway.set_value();
    });
    std::thread initiator = test::inWorkstation(*lan, 2, [&] {
        turnedAway.wait();
        // The paired Initiator's reconnection, from its pairing's adapter,
        // once the stranger has been turned away.
        int fd = test::connectTcp("192.168.10.2", "192.168.10.1", 8181);
        char byte;
        if (fd >= 0) {
            (void)read(fd, &byte, 1);
            close(fd);
        }
    });
    EXPECT_EQ(responderRelisten(), 0);
    EXPECT_STREQ(platform::dotted(s.peerAddress).text, "192.168.10.2");
    EXPECT_TRUE(log.has("Refused connection from 192.168.10.3: not the paired workstation"));
    closeSessionSocket(s.dataSocket);
    s.connected = 0;
    stranger.join();
    initiator.join();
    EXPECT_TRUE(strangerRefused);
}

}  // namespace
}  // namespace dyadc
