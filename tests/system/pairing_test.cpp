// Pairing end to end through the real libdyadc.so: Responder and Initiator
// host processes on simulated workstations, and scripted peers for the exact
// bytes on the wire.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "tests/support/lan_test.h"

namespace dyadc::test {
namespace {

using namespace std::chrono;

using Pairing = LanTest;

TEST_F(Pairing, AcceptedPairingLeavesBothSidesPairedWithoutAConnection) {
    start();
    Child responder = host(1, {"open", "2", "LAB7", "30", "hold"});
    Child initiator = host(2, {"open", "1", "LAB7", "30", "hold"});
    ASSERT_TRUE(responder.waitForOutput("open 0\n")) << responder.output();
    ASSERT_TRUE(initiator.waitForOutput("open 0\n")) << initiator.output();
    EXPECT_TRUE(outputHas(responder, "verified ws2\n"));

    EXPECT_EQ(field(1, "paired"), "1");
    EXPECT_EQ(field(1, "linkDown"), "0");
    EXPECT_EQ(field(1, "connected"), "0");
    EXPECT_EQ(field(1, "openCount"), "1");
    EXPECT_EQ(field(1, "isInitiator"), "0");
    EXPECT_EQ(field(1, "peerAddress").substr(0, 13), "192.168.10.2:");
    EXPECT_EQ(field(1, "localAddress"), "192.168.10.1:8181");
    EXPECT_EQ(field(1, "listenSocket"), "-1");
    EXPECT_EQ(field(1, "dataSocket"), "-1");
    EXPECT_EQ(field(2, "paired"), "1");
    EXPECT_EQ(field(2, "linkDown"), "0");
    EXPECT_EQ(field(2, "connected"), "0");
    EXPECT_EQ(field(2, "isInitiator"), "1");
    EXPECT_EQ(field(2, "pairingId"), "LAB7");
    EXPECT_EQ(field(2, "peerAddress"), "192.168.10.1:8181");
    EXPECT_EQ(field(2, "localAddress"), "192.168.10.2:0");
    EXPECT_TRUE(logHas(log(2), "Reply to dll version 0"));
    EXPECT_TRUE(logHas(log(1), "comparing dll version 2.04 with version 2.04 from source"));
}

TEST_F(Pairing, RefusedNameResetsBothSides) {
    start();
    Child responder = host(1, {"verify", "refuse", "5", "open", "2", "LAB7", "30", "hold"});
    Child initiator = host(2, {"open", "1", "LAB7", "30", "hold"});
    ASSERT_TRUE(responder.waitForOutput("open 103\n")) << responder.output();
    ASSERT_TRUE(initiator.waitForOutput("open 103\n")) << initiator.output();
    for (int h = 1; h <= 2; ++h) {
        EXPECT_EQ(field(h, "paired"), "0");
        EXPECT_EQ(field(h, "linkDown"), "1");
        EXPECT_EQ(field(h, "openCount"), "0");
        EXPECT_EQ(field(h, "dataSocket"), "-1");
    }
    EXPECT_TRUE(logHas(log(2), "001 CANCEL"));
}

TEST_F(Pairing, InitiatorSkipsAnotherIdentifierAndPairsWithItsOwn) {
    Lan::Options options;
    options.hosts = 3;
    start(options);
    Child other = host(1, {"open", "2", "ALPHA", "12"});
    ASSERT_TRUE(waitForLog(1, "Broadcasting Unique ID: ALPHA")) << other.output();
    Child initiator = host(2, {"open", "1", "BETA", "40", "hold"});
    // Only once the Initiator has passed over the other identifier does its
    // own Responder start.
    ASSERT_TRUE(waitForLog(2, "Rejected source workstation: 192.168.10.1 with identifier: ALPHA"))
        << initiator.output();
    Child mine = host(3, {"open", "2", "BETA", "40", "hold"});
    ASSERT_TRUE(initiator.waitForOutput("open 0\n", seconds(40))) << initiator.output();
    EXPECT_TRUE(mine.waitForOutput("open 0\n"));
    EXPECT_EQ(field(2, "peerAddress"), "192.168.10.3:8181");
    EXPECT_EQ(other.wait(seconds(30)), 0);
    EXPECT_EQ(other.output(), "setlog 0\nopen 101\n") << "nobody pairs with the other identifier";
}

TEST_F(Pairing, TimeLimitsEndEachSideAtTheLimit) {
    start();
    // How long the call took, as the host measured it: process start-up is no
    // part of the limit; the bound above leaves room for a loaded machine.
    auto timed = [&](int h, const std::string& mode) {
        Child child = host(h, {"open", mode, "LAB7", "3", "took"});
        EXPECT_EQ(child.wait(seconds(30)), 0);
        const std::string out = child.output();
        const std::string expected = "setlog 0\nopen 101\ntook ";
        EXPECT_EQ(out.substr(0, expected.size()), expected);
        return std::atoll(out.substr(std::min(out.size(), expected.size())).c_str());
    };
    for (int h = 1; h <= 2; ++h) {
        auto took = timed(h, h == 1 ? "2" : "1");
        EXPECT_GE(took, 3000) << "host " << h;
        EXPECT_LT(took, 4500) << "host " << h;
        EXPECT_TRUE(logHas(log(h), "Connect Has Timed Out"));
    }
}

TEST_F(Pairing, AnnounceWithoutListenerEndsTheInitiatorWith100) {
    start();
    Child announcer = lan->spawn(1, {helperPath("test-peer"), "announce", "LAB7", "192.168.10.1", "8"});
    Child initiator = host(2, {"open", "1", "LAB7", "4"});
    EXPECT_EQ(initiator.wait(seconds(30)), 0);
    EXPECT_EQ(initiator.output(), "setlog 0\nopen 100\n");
    EXPECT_TRUE(logHas(log(2), "connect to data socket failed! Error: 10061"));
    EXPECT_TRUE(logHas(log(2), "Connect Has Timed Out"));
}

TEST_F(Pairing, HostWithoutUsableInterfaceWaitsForOne) {
    Lan::Options options;
    options.isolated = "1,2";
    start(options);
    Child responder = host(1, {"open", "2", "LAB7", "3"});
    Child initiator = host(2, {"open", "1", "LAB7", "3"});
    EXPECT_EQ(responder.wait(), 0);
    EXPECT_EQ(initiator.wait(), 0);
    EXPECT_EQ(responder.output(), "setlog 0\nopen 101\n");
    EXPECT_EQ(initiator.output(), "setlog 0\nopen 101\n");
    EXPECT_TRUE(logHas(log(1), "No Usable Interfaces...will retry interface list refresh"));
    EXPECT_TRUE(logHas(log(2), "No Usable Interfaces...will retry interface list refresh"));
}

TEST_F(Pairing, HandshakeBytesOfTheInitiator) {
    Lan::Options options;
    options.hostnames = "ws1,HOSTA";
    start(options);
    Child responder = peer(1, {"listen", "192.168.10.1", "accept", "expect", "HOSTA\\r\\n", "send", "000 OK\\r\\n",
                               "expect", "2.04\\r\\n", "send", "000 OK\\r\\n", "eof"});
    Child initiator = host(2, {"open", "1", "LAB7", "20"});
    ASSERT_TRUE(waitForLog(2, "Selecting..."));
    Child announcer = peer(1, {"announce", "LAB7", "192.168.10.1", "5"});
    EXPECT_EQ(initiator.wait(), 0);
    EXPECT_EQ(initiator.output(), "setlog 0\nopen 0\n");
    EXPECT_EQ(responder.wait(), 0) << responder.output();
}

TEST_F(Pairing, HandshakeBytesOfTheResponder) {
    start();
    Child responder = host(1, {"open", "2", "LAB7", "20"});
    Child initiator = lan->spawn(
        2, {helperPath("test-peer"), "connect", "192.168.10.2", "192.168.10.1", "send", "HOSTA\\r\\n", "expect",
            "000 OK\\r\\n", "send", "2.04\\r\\n", "expect", "000 OK\\r\\n", "eof"});
    EXPECT_EQ(responder.wait(), 0);
    EXPECT_EQ(responder.output(), "setlog 0\nverified HOSTA\nopen 0\n");
    EXPECT_EQ(initiator.wait(), 0) << initiator.output();
}

TEST_F(Pairing, MaskSelectsTheSecondSegmentOfMultiHomedWorkstations) {
    Lan::Options options;
    options.secondSegment = true;
    start(options);
    Child responder = host(1, {"openx", "2", "LAB7", "30", "10.0.0.0", "hold"});
    Child initiator = host(2, {"open", "1", "LAB7", "30", "hold"});
    ASSERT_TRUE(responder.waitForOutput("openx 0\n")) << responder.output();
    ASSERT_TRUE(initiator.waitForOutput("open 0\n")) << initiator.output();
    EXPECT_EQ(field(1, "localAddress"), "10.0.5.1:8181");
    EXPECT_EQ(field(1, "addressMask"), "10.");
    EXPECT_EQ(field(1, "useAddressMask"), "1");
    EXPECT_EQ(field(2, "localAddress"), "10.0.5.2:0");
    EXPECT_EQ(field(2, "peerAddress"), "10.0.5.1:8181");
    EXPECT_TRUE(logHas(log(1), "The end resulting addressmask looks like <10.>"));
    EXPECT_TRUE(logHas(log(1), "Address List, 10.0.5.1"));
    EXPECT_FALSE(logHas(log(1), "Address List, 192.168.10.1"));
}

TEST_F(Pairing, NewerInitiatorLibraryTravelsToTheResponder) {
    start();
    installLibrary(2, 2, 5);
    // The Responder opens twice: each rendezvous finds the Initiator newer,
    // since its own installed library stays as it was.
    Child responder = host(1, {"open", "2", "LAB7", "60", "open", "2", "LAB7", "60"});
    Child initiator = host(2, {"open", "1", "LAB7", "60"});
    EXPECT_EQ(responder.wait(seconds(90)), 0);
    EXPECT_EQ(initiator.wait(seconds(90)), 0);
    EXPECT_EQ(responder.output(), "setlog 0\nverified ws2\nopen 24\nverified ws2\nopen 24\n");
    EXPECT_EQ(initiator.output(), "setlog 0\nopen 24\n") << "the second attempt's result";
    const std::string sent = readFile(lan->host(2).system() + "/libdyadc.so");
    const std::string stored = readFile(lan->host(1).system() + "/dyadc.dl_");
    EXPECT_EQ(stored.size(), sent.size());
    EXPECT_TRUE(stored == sent) << "byte for byte";
    EXPECT_TRUE(readFile(lan->host(1).system() + "/libdyadc.so") != sent) << "the installed library is untouched";
    EXPECT_TRUE(logHas(log(1), "comparing dll version 2.04 with version 2.05 from source"));
    EXPECT_TRUE(logHas(log(2), "Reply to dll version 24"));
}

TEST_F(Pairing, EqualOrOlderInitiatorLibrarySendsNothing) {
    start();
    installLibrary(2, 2, 3);
    Child responder = host(1, {"open", "2", "LAB7", "30"});
    Child initiator = host(2, {"open", "1", "LAB7", "30"});
    EXPECT_EQ(responder.wait(), 0);
    EXPECT_EQ(initiator.wait(), 0);
    EXPECT_EQ(responder.output(), "setlog 0\nverified ws2\nopen 0\n");
    EXPECT_EQ(initiator.output(), "setlog 0\nopen 0\n");
    EXPECT_FALSE(fileExists(lan->host(1).system() + "/dyadc.dl_"));
}

TEST_F(Pairing, UpdateIsStoredOnlyUnderItsOwnName) {
    start();
    const std::string victim = lan->host(1).system() + "/victim.txt";
    writeFile(victim, "precious");
    for (const std::string name : {"../escaped", "victim.txt", "libdyadc.so", "dyadc.dl_x"}) {
        Child responder = host(1, {"open", "2", "LAB7", "30"});
        Child initiator = peer(
            2, {"connect", "192.168.10.2", "192.168.10.1", "send", "evil\\r\\n", "expect", "000 OK\\r\\n", "send",
                "9.99\\r\\n", "expect", "24 UPDT\\r\\n", "eof", "connect", "192.168.10.2", "192.168.10.1", "send",
                "put " + name + "|c:\\\\placeholder|4|21\\r\\n", "eof"});  // refused at its header: no go-ahead
        EXPECT_EQ(responder.wait(), 0);
        EXPECT_EQ(responder.output(), "setlog 0\nverified evil\nopen 100\n") << name;
        EXPECT_EQ(initiator.wait(), 0) << initiator.output();
        EXPECT_TRUE(logHas(log(1), "Error:  Refused to store the update under the name " + name)) << name;
    }
    EXPECT_FALSE(fileExists(lan->host(1).dir + "/escaped"));
    EXPECT_FALSE(fileExists(lan->host(1).system() + "/dyadc.dl_"));
    EXPECT_FALSE(fileExists(lan->host(1).system() + "/dyadc.dl_x"));
    EXPECT_EQ(readFile(victim), "precious");
    EXPECT_EQ(readFile(lan->host(1).system() + "/libdyadc.so"), libraryWithVersion(2, 4));
}

TEST_F(Pairing, AnUpdateThatIsNoLibraryOfThisSystemIsRemovedAndTheSameVersionPairs) {
    start();
    // A program of this very machine, which a library update must not be.
    const std::string program = helperPath("test-host");
    const std::string put = "put dyadc.dl_|c:\\\\placeholder|";
    const std::vector<std::string> connect{"connect", "192.168.10.2", "192.168.10.1"};
    std::vector<std::string> steps;
    for (const std::vector<std::string>& part : std::vector<std::vector<std::string>>{
             connect,
             {"send", "ws2\\r\\n", "expect", "000 OK\\r\\n", "send", "2.05\\r\\n", "expect", "24 UPDT\\r\\n",
              "eof"},
             connect,
             {"send", put + std::to_string(readFile(program).size()) + "|21\\r\\n", "expect", "000 OK\\r\\n",
              "sendfile", program, "expect", "000 Ok\\r\\n", "send", put + "0|20\\r\\n", "expect", "000 OK\\r\\n",
              "expect", "000 Ok\\r\\n", "eof"},
             // The Initiator's next attempt, with the same version: answered
             // as an equal one.
             connect,
             {"send", "ws2\\r\\n", "expect", "000 OK\\r\\n", "send", "2.05\\r\\n", "expect", "000 OK\\r\\n",
              "eof"}}) {
        steps.insert(steps.end(), part.begin(), part.end());
    }
    Child responder = host(1, {"open", "2", "LAB7", "60", "hold"});
    Child initiator = peer(2, steps);
    ASSERT_TRUE(responder.waitForOutput("holding", seconds(90))) << responder.output();
    EXPECT_EQ(responder.output(), "setlog 0\nverified ws2\nverified ws2\nopen 0\nholding\n");
    EXPECT_EQ(initiator.wait(), 0) << initiator.output();
    EXPECT_EQ(field(1, "paired"), "1");
    EXPECT_FALSE(fileExists(lan->host(1).system() + "/dyadc.dl_"));
    EXPECT_TRUE(
        logHas(log(1), "Error:  The update is no library for this system (a program, not a library).  Removed " +
                           lan->host(1).system() + "/dyadc.dl_"));
}

TEST_F(Pairing, AnnounceOnTheWireIsTheIdentifierAndItsNul) {
    start();
    Child sniffer = peer(2, {"sniff", "192.168.10.2"});
    ASSERT_TRUE(sniffer.waitForOutput("sniffing"));
    Child responder = host(1, {"open", "2", "LAB7", "2"});
    EXPECT_EQ(sniffer.wait(seconds(10)), 0);
    EXPECT_EQ(sniffer.output(), "sniffing\nannounce LAB7\\x00\ndone\n");
    EXPECT_EQ(responder.wait(), 0);
}

TEST_F(Pairing, IdentifiersMustMatchExactly) {
    start();
    Child initiator = host(2, {"open", "1", "LAB7", "2"});
    ASSERT_TRUE(waitForLog(2, "Selecting..."));
    Child announcer = peer(1, {"announce", "lab7", "192.168.10.1", "2", "announce", "LAB7 ", "192.168.10.1", "2"});
    EXPECT_EQ(initiator.wait(seconds(20)), 0);
    EXPECT_EQ(initiator.output(), "setlog 0\nopen 101\n");
    EXPECT_TRUE(logHas(log(2), "Rejected source workstation: 192.168.10.1 with identifier: lab7"));
    EXPECT_TRUE(logHas(log(2), "Rejected source workstation: 192.168.10.1 with identifier: LAB7 "));
}

TEST_F(Pairing, CloseDuringTheUpdateEndsItWith23AndKeepsThePartialFile) {
    start();
    installLibrary(2, 2, 5, 60u << 20);  // 60 MiB more: the transfer takes a while
    Child responder = host(1, {"open", "2", "LAB7", "60"});
    Child initiator = host(2, {"close-on-input", "open", "1", "LAB7", "60"});
    const std::string stored = lan->host(1).system() + "/dyadc.dl_";
    auto deadline = steady_clock::now() + seconds(30);
    while (readFile(stored).size() < 100000 && steady_clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(20));
    }
    initiator.writeInput("\n");
    EXPECT_EQ(responder.wait(), 0);
    EXPECT_EQ(responder.output(), "setlog 0\nverified ws2\nopen 23\n");
    EXPECT_EQ(initiator.wait(), 0);
    EXPECT_TRUE(outputHas(initiator, "closing-during 0 0\n")) << initiator.output();
    EXPECT_TRUE(outputHas(initiator, "open 102\n")) << initiator.output();
    const size_t kept = readFile(stored).size();
    EXPECT_GT(kept, 0u);
    EXPECT_LT(kept, readFile(lan->host(2).system() + "/libdyadc.so").size());
}

TEST_F(Pairing, BlocksBothWaysThenTheLastCloseEndsThePairing) {
    start();
    Child responder = host(1, {"open", "2", "LAB7", "30", "recv", "1024", "30", "send", "r", "s", "7", "50", "20",
                               "recv", "1024", "30"});
    Child initiator = host(2, {"open", "1", "LAB7", "30", "send", "a", "b", "21", "100", "20", "recv", "1024",
                               "30", "wait", "close"});
    ASSERT_TRUE(initiator.waitForOutput("recv ")) << initiator.output();
    EXPECT_EQ(initiator.output(), "setlog 0\nopen 0\nsend 0\nrecv 0 50 7 r s\n");
    // A second process of the Initiator's workstation finds the pairing made.
    std::string second;
    EXPECT_EQ(lan->run(2,
                       {helperPath("test-host"), "setlog", "/tmp/second.log", "100000", "2", "open", "1", "X", "1",
                        "close"},
                       {}, &second),
              0);
    EXPECT_EQ(second, "setlog 0\nopen 0\nclose 0\n");
    EXPECT_TRUE(logHas(lan->host(2).tmp() + "/second.log", "DLL still active, not closing socket"));
    EXPECT_EQ(field(2, "openCount"), "1");
    EXPECT_EQ(field(2, "connected"), "1") << "the first close kept the connection";
    initiator.writeInput("\n");
    EXPECT_EQ(initiator.wait(), 0);
    EXPECT_EQ(responder.wait(), 0);
    EXPECT_EQ(responder.output(), "setlog 0\nverified ws2\nopen 0\nrecv 0 100 21 a b\nsend 0\nrecv 23 -1 -1  \n");
}

}  // namespace
}  // namespace dyadc::test
