// Data blocks through the real libdyadc.so between processes on simulated
// workstations, paired beforehand the way the rendezvous leaves a pairing.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/lan.h"

namespace dyadc::test {
namespace {

using namespace std::chrono;

class Blocks : public testing::Test {
protected:
    void SetUp() override {
        lan = std::make_unique<Lan>();
        ASSERT_TRUE(lan->ok());
        // Holders keep each workstation's Session while the pairing is set.
        for (int h = 1; h <= 2; ++h) {
            holders[h - 1] = lan->spawn(h, {helperPath("test-host"), "hold"});
            ASSERT_TRUE(holders[h - 1].waitForOutput("holding"));
        }
        pair(1, "responder", "192.168.10.1", "192.168.10.2");
        pair(2, "initiator", "192.168.10.2", "192.168.10.1");
    }
    void pair(int host, const std::string& role, const std::string& local, const std::string& peer) {
        std::string output;
        ASSERT_EQ(lan->run(host, {helperPath("test-probe"), lan->host(host).session, "pair", role, local, peer},
                           {}, &output),
                  0)
            << output;
    }
    std::string field(int host, const std::string& name) { return probeField(*lan, host, name); }
    std::unique_ptr<Lan> lan;
    Child holders[2];
};

TEST_F(Blocks, GigabyteInVaryingBlocksArrivesIntact) {
    Child receiver = lan->spawn(1, {helperPath("test-host"), "drain", "262144", "60"});
    Child sender = lan->spawn(2, {helperPath("test-host"), "stream", "1073741824", "60"});
    ASSERT_EQ(sender.wait(seconds(240)), 0) << sender.output();
    ASSERT_EQ(receiver.wait(seconds(60)), 0) << receiver.output();
    std::istringstream sent(sender.output()), received(receiver.output());
    std::string word, sentHash, receivedHash;
    int sendResult = -1, receiveResult = -1;
    unsigned long long sentBytes = 0, receivedBytes = 0;
    sent >> word >> sendResult >> sentBytes >> sentHash;
    received >> word >> receiveResult >> receivedBytes >> receivedHash;
    EXPECT_EQ(sendResult, 0);
    EXPECT_EQ(receiveResult, 0);
    EXPECT_EQ(sentBytes, 1073741824ull);
    EXPECT_EQ(receivedBytes, 1073741824ull);
    EXPECT_EQ(sentHash, receivedHash);
    EXPECT_EQ(field(1, "bytesTransferred"), "1073741824");
    EXPECT_EQ(field(2, "bytesTransferred"), "1073741824");
}

// A single block larger than the receiver's buffer, finished by a process
// that then stays idle, leaves no connection behind in that process: another
// process receives the next block.
TEST_F(Blocks, AProcessThatFinishedABlockInPiecesLeavesTheConnectionFree) {
    std::vector<std::string> pieces{helperPath("test-host")};
    for (int i = 0; i < 4; ++i) pieces.insert(pieces.end(), {"recv", "65536", "20"});
    pieces.push_back("hold");
    Child first = lan->spawn(1, pieces);
    Child sender = lan->spawn(2, {helperPath("test-host"), "send", "a", "b", "7", "200000", "20", "wait", "send",
                                  "c", "d", "7", "1000", "10"});
    ASSERT_TRUE(first.waitForOutput("holding"));
    EXPECT_EQ(first.output().substr(first.output().rfind("recv")), "recv 0 3392 22  \nholding\n");
    ASSERT_TRUE(sender.waitForOutput("send 0"));
    Child second = lan->spawn(1, {helperPath("test-host"), "recv", "65536", "10"});
    sender.writeInput("\n");
    EXPECT_EQ(second.wait(seconds(20)), 0);
    EXPECT_EQ(second.output(), "recv 0 1000 7 c d\n");
    EXPECT_EQ(sender.wait(seconds(20)), 0);
    EXPECT_EQ(sender.output(), "send 0\ngo\nsend 0\n");
    first.closeInput();
    EXPECT_EQ(first.wait(), 0);
}

// A receiver killed while it waits holds nothing, even before its parent has
// waited for it.
TEST_F(Blocks, AKilledReceiverHoldsNothingBeforeItsParentWaits) {
    Child first = lan->spawn(1, {helperPath("test-host"), "recv", "65536", "60"});
    for (int i = 0; i < 100 && field(1, "receivingProcess") != std::to_string(first.pid()); ++i) {
        std::this_thread::sleep_for(milliseconds(50));
    }
    ASSERT_EQ(field(1, "receivingProcess"), std::to_string(first.pid()));
    first.kill(SIGKILL);  // not waited for until the end
    Child second = lan->spawn(1, {helperPath("test-host"), "recv", "65536", "10"});
    Child sender = lan->spawn(2, {helperPath("test-host"), "send", "c", "d", "7", "1000", "10"});
    EXPECT_EQ(second.wait(seconds(20)), 0);
    EXPECT_EQ(second.output(), "recv 0 1000 7 c d\n");
    EXPECT_EQ(sender.wait(seconds(20)), 0);
    EXPECT_EQ(sender.output(), "send 0\n");
    first.wait();
}

// The scripted peer's part for one block that it takes whole: the header
// line it expects, the go-ahead, the block's bytes and the final reply.
std::vector<std::string> takesBlock(const std::string& header, const std::string& length) {
    return {"expect", header + "\\r\\n", "send", "000 OK\\r\\n", "drain", length, "send", "000 Ok\\r\\n"};
}

std::vector<std::string> peerScript(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> script;
    for (const auto& part : parts) script.insert(script.end(), part.begin(), part.end());
    return script;
}

// Workstation 2 plays the Responder with a scripted peer; workstation 1's
// processes send.
class OwnedConnection : public Blocks {
protected:
    void SetUp() override {
        lan = std::make_unique<Lan>();
        ASSERT_TRUE(lan->ok());
        holders[0] = lan->spawn(1, {helperPath("test-host"), "hold"});
        ASSERT_TRUE(holders[0].waitForOutput("holding"));
        pair(1, "initiator", "192.168.10.1", "192.168.10.2");
    }
};

TEST_F(OwnedConnection, SecondProcessWaitsUntilTheSeriesEnds) {
    Child peer = lan->spawn(2, peerScript({{helperPath("test-peer"), "listen", "192.168.10.2", "accept"},
                                           takesBlock("put s|t|3|21", "3"),
                                           takesBlock("put s|t|1|20", "1"),
                                           {"eof", "accept"},
                                           takesBlock("put x|y|2|7", "2"),
                                           {"eof"}}));
    ASSERT_TRUE(peer.waitForOutput("listening"));
    Child first = lan->spawn(1, {helperPath("test-host"), "send", "s", "t", "21", "3", "20", "hold", "send", "s",
                                 "t", "20", "1", "20"});
    ASSERT_TRUE(first.waitForOutput("holding"));
    EXPECT_EQ(first.output(), "send 0\nholding\n");
    Child second = lan->spawn(
        1, {helperPath("test-host"), "setlog", "/tmp/second.log", "0", "2", "send", "x", "y", "7", "2", "60"});
    ASSERT_TRUE(waitForLog(lan->host(1).tmp() + "/second.log", "socket in use by another process.  Waiting"));
    EXPECT_EQ(second.output(), "setlog 0\n") << "still waiting";
    first.closeInput();
    EXPECT_EQ(first.wait(), 0);
    EXPECT_EQ(first.output(), "send 0\nholding\nreleased\nsend 0\n");
    EXPECT_EQ(second.wait(seconds(30)), 0);
    EXPECT_EQ(second.output(), "setlog 0\nsend 0\n");
    EXPECT_EQ(peer.wait(), 0) << peer.output();
}

// A process stopped in the middle of its series keeps the connection, and a
// send of another process gives up at its own limit; the series then goes on.
TEST_F(OwnedConnection, SendWaitingForAStoppedSeriesEndsAtItsLimit) {
    Child peer = lan->spawn(2, peerScript({{helperPath("test-peer"), "listen", "192.168.10.2", "accept"},
                                           takesBlock("put s|t|3|21", "3"),
                                           takesBlock("put s|t|1|20", "1"),
                                           {"eof"}}));
    ASSERT_TRUE(peer.waitForOutput("listening"));
    Child first = lan->spawn(1, {helperPath("test-host"), "send", "s", "t", "21", "3", "20", "hold", "send", "s",
                                 "t", "20", "1", "20"});
    ASSERT_TRUE(first.waitForOutput("holding"));
    first.kill(SIGSTOP);
    Child second = lan->spawn(1, {helperPath("test-host"), "send", "x", "y", "7", "2", "3", "took"});
    EXPECT_EQ(second.wait(seconds(10)), 0);
    const std::string out = second.output();
    ASSERT_EQ(out.rfind("send 101\ntook ", 0), 0u) << out;
    EXPECT_LT(std::atoll(out.c_str() + std::strlen("send 101\ntook ")), 4500) << "the call ends at its limit";
    first.kill(SIGCONT);
    first.closeInput();
    EXPECT_EQ(first.wait(), 0);
    EXPECT_EQ(first.output(), "send 0\nholding\nreleased\nsend 0\n");
    EXPECT_EQ(peer.wait(), 0) << peer.output();
}

TEST_F(OwnedConnection, MarkOfAKilledOwnerIsCleared) {
    Child peer = lan->spawn(2, peerScript({{helperPath("test-peer"), "listen", "192.168.10.2", "accept"},
                                           takesBlock("put s|t|3|21", "3"),
                                           {"eof", "accept"},
                                           takesBlock("put x|y|2|7", "2"),
                                           {"eof"}}));
    ASSERT_TRUE(peer.waitForOutput("listening"));
    Child first = lan->spawn(1, {helperPath("test-host"), "send", "s", "t", "21", "3", "20", "hold"});
    ASSERT_TRUE(first.waitForOutput("holding"));
    EXPECT_EQ(field(1, "socketOwnerProcess"), std::to_string(first.pid()));
    first.kill(SIGKILL);
    first.wait();
    EXPECT_EQ(field(1, "connected"), "1") << "nobody closed it: its process just ended";
    Child second = lan->spawn(1, {helperPath("test-host"), "send", "x", "y", "7", "2", "30"});
    EXPECT_EQ(second.wait(seconds(30)), 0);
    EXPECT_EQ(second.output(), "send 0\n");
    EXPECT_EQ(peer.wait(), 0) << peer.output();
}

}  // namespace
}  // namespace dyadc::test
