// DyadSendDataBlock in workstation 1 against a scripted Responder in
// workstation 2.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "dyadc.h"
#include "link/link.h"
#include "session/session.h"
#include "session/time_limit.h"
#include "tests/support/fixtures.h"
#include "tests/support/results.h"

namespace dyadc {
namespace {

using namespace std::chrono;
using test::Child;
using test::Lan;
using test::LogCapture;

std::vector<double> progressSeen;
std::function<void()> duringProgress;  // what the host's progress function does besides counting
void onProgress(double total) {
    progressSeen.push_back(total);
    if (duringProgress) duringProgress();
}

class Send : public testing::Test {
protected:
    void SetUp() override {
        test::freshSession();
        progressSeen.clear();
        duringProgress = nullptr;
        lan = std::make_unique<Lan>();
        ASSERT_TRUE(lan->ok());
        ASSERT_TRUE(lan->enter(1));
        SharedSession& s = sharedSession();
        s.paired = 1;
        s.linkDown = 0;
        s.isInitiator = 1;
        test::setAddress(s.peerAddress, "192.168.10.2", 8181);
        test::setAddress(s.localAddress, "192.168.10.1", 0);
    }
    void TearDown() override {
        if (peer.pid() > 0) {
            peer.closeInput();
            EXPECT_EQ(peer.wait(seconds(30)), 0) << peer.output();
        }
    }
    // The scripted Responder: listens, then runs `steps`.
    void script(std::vector<std::string> steps) {
        std::vector<std::string> argv{test::helperPath("test-peer"), "listen", "192.168.10.2"};
        argv.insert(argv.end(), steps.begin(), steps.end());
        peer = lan->spawn(2, argv);
        ASSERT_TRUE(peer.waitForOutput("listening"));
    }
    int32_t send(const std::string& data, int32_t type, uint32_t limit = 20, const char* first = "a",
                 const char* second = "b") {
        return DyadSendDataBlock(first, second, limit, data.data(), static_cast<uint32_t>(data.size()), type,
                                 onProgress);
    }
    std::unique_ptr<Lan> lan;
    Child peer;
};

TEST_F(Send, EmptyBlockStillReportsProgress) {
    script({"accept", "expect", "put a|b|0|7\\r\\n", "send", "000 OK\\r\\n000 Ok\\r\\n", "eof"});
    sharedSession().bytesTransferred = 5.0;
    EXPECT_EQ(send("", 7), 0);
    EXPECT_EQ(sharedSession().bytesTransferred, 5.0);
    EXPECT_EQ(progressSeen, std::vector<double>{5.0});
}

TEST_F(Send, SingleBlockClosesOnlyAConnectionItMade) {
    script({"accept", "expect", "put a|b|5|7\\r\\n", "send", "000 OK\\r\\n", "expect", "hello", "send",
            "000 Ok\\r\\n", "expect", "put a|b|3|9\\r\\n", "send", "000 OK\\r\\n", "expect", "bye", "send",
            "000 Ok\\r\\n", "quiet", "500"});
    LogCapture log;
    SharedSession& s = sharedSession();
    // First with a connection already open: it stays open.
    ASSERT_EQ(initiatorReconnect(), 0);
    EXPECT_EQ(send("hello", 7), 0);
    EXPECT_EQ(s.connected, 1);
    EXPECT_EQ(log.find("closing local socket"), -1);
    EXPECT_EQ(send("bye", 9), 0);
    EXPECT_EQ(s.connected, 1);
    EXPECT_EQ(s.bytesTransferred, 8.0);
    EXPECT_EQ(progressSeen, (std::vector<double>{5.0, 8.0}));
}

TEST_F(Send, SingleBlockOverANewConnectionClosesIt) {
    script({"accept", "expect", "put a|b|5|7\\r\\n", "send", "000 OK\\r\\n", "expect", "hello", "send",
            "000 Ok\\r\\n", "eof"});
    LogCapture log;
    EXPECT_EQ(send("hello", 7), 0);
    EXPECT_EQ(sharedSession().connected, 0);
    EXPECT_TRUE(log.has("closing local socket"));
    EXPECT_EQ(sharedSession().socketOwner, 0);
}

TEST_F(Send, ReplyWithAnotherCodeIsPassedOver) {
    script({"accept", "expect", "put a|b|2|7\\r\\n", "trickle", "001 WAIT\\r\\n", "trickle", "000 OK\\r\\n",
            "expect", "hi", "send", "000 Ok\\r\\n", "eof"});
    EXPECT_EQ(send("hi", 7), 0);
}

TEST_F(Send, SeriesHoldsTheConnectionAndItsOwnerMark) {
    script({"accept",       "expect", "put s|t|1|21\\r\\n", "send", "000 OK\\r\\n", "expect", "1", "send",
            "000 Ok\\r\\n", "expect", "put s|t|1|22\\r\\n", "send", "000 OK\\r\\n", "expect", "2", "send",
            "000 Ok\\r\\n", "expect", "put s|t|1|22\\r\\n", "send", "000 OK\\r\\n", "expect", "3", "send",
            "000 Ok\\r\\n", "expect", "put s|t|1|20\\r\\n", "send", "000 OK\\r\\n", "expect", "4", "send",
            "000 Ok\\r\\n", "eof"});
    SharedSession& s = sharedSession();
    processSession().openTicket = 3;
    const int32_t types[] = {21, 22, 22, 20};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(send(std::to_string(i + 1), types[i], 20, "s", "t"), 0);
        if (i < 3) {
            EXPECT_EQ(s.connected, 1);
            EXPECT_EQ(s.socketOwner, 3);
        }
    }
    EXPECT_EQ(s.connected, 0);
    EXPECT_EQ(s.socketOwner, 0);
}

TEST_F(Send, LengthOfTwoToTheThirtyFirstTravelsAsANegativeNumber) {
    script({"accept", "expect", "put a|b|-2147483648|7\\r\\n", "close"});
    // The bytes are never touched: the peer goes away before the go-ahead.
    void* huge = mmap(nullptr, 1ul << 31, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(huge, MAP_FAILED);
    EXPECT_EQ(DyadSendDataBlock("a", "b", 0, huge, 2147483648u, 7, nullptr), 100);
    munmap(huge, 1ul << 31);
}

TEST_F(Send, BadNamesAndOverlongHeadersAreRefusedWithoutSending) {
    LogCapture log;
    const std::string tooLong(250, 'n');
    for (const char* bad : {"", "a|b", "a\rb", "a\nb"}) {
        EXPECT_EQ(DyadSendDataBlock(bad, "b", 1, "x", 1, 7, nullptr), 100) << bad;
        EXPECT_EQ(DyadSendDataBlock("a", bad, 1, "x", 1, 7, nullptr), 100) << bad;
    }
    EXPECT_EQ(DyadSendDataBlock(nullptr, "b", 1, "x", 1, 7, nullptr), 100);
    EXPECT_EQ(DyadSendDataBlock(tooLong.c_str(), "b", 1, "x", 1, 7, nullptr), 100);
    EXPECT_EQ(DyadSendDataBlock("a", "b", 1, nullptr, 1, 7, nullptr), 100);
    EXPECT_EQ(sharedSession().connected, 0) << "nothing was even connected";
    EXPECT_TRUE(log.hasPrefix("put refused"));
    // The longest header that fits still goes.
    const std::string fits(257 - std::string("put |b|1|7").size(), 'f');
    script({"accept", "expect", "put " + fits + "|b|1|7\\r\\n", "send", "000 OK\\r\\n", "expect", "x", "send",
            "000 Ok\\r\\n"});
    EXPECT_EQ(DyadSendDataBlock(fits.c_str(), "b", 10, "x", 1, 7, nullptr), 0);
}

// A progress function that returns after the time limit has passed: the
// receiver's confirmation, already waiting or arriving just after the limit,
// makes the call a success (the receiver has the block; a failure would have
// the host send it twice).
TEST_F(Send, ConfirmationAfterASlowProgressFunctionIsSuccess) {
    script({"accept",
            "expect",
            "put a|b|5|7\\r\\n",
            "send",
            "000 OK\\r\\n",
            "expect",
            "early",
            "send",
            "000 Ok\\r\\n",
            "eof",
            "accept",
            "expect",
            "put a|b|4|7\\r\\n",
            "send",
            "000 OK\\r\\n",
            "expect",
            "late",
            "hold",
            "send",
            "000 Ok\\r\\n",
            "eof"});
    const auto pastTheLimit = [] {
        while (!timeLimitPassed(1)) std::this_thread::sleep_for(milliseconds(20));
    };
    duringProgress = [&] {
        EXPECT_TRUE(peer.waitForOutput("expected early\nsent\n"));
        pastTheLimit();
    };
    EXPECT_EQ(send("early", 7, 1), 0) << "the confirmation was waiting";
    duringProgress = [&] {
        EXPECT_TRUE(peer.waitForOutput("holding"));
        pastTheLimit();
        peer.closeInput();  // the confirmation leaves now
    };
    EXPECT_EQ(send("late", 7, 1), 0) << "the confirmation arrived just after the limit";
    EXPECT_EQ(sharedSession().linkDown, 0);
}

TEST_F(Send, RefusingResponderTimesOutWithoutAMessageOfItsOwn) {
    LogCapture log;
    auto start = steady_clock::now();
    EXPECT_EQ(send("x", 7, 5), 101);
    auto took = steady_clock::now() - start;
    EXPECT_GE(took, seconds(5));
    EXPECT_LT(took, seconds(9));
    EXPECT_TRUE(log.has("connect to data socket failed! Error: 10061"));
    EXPECT_EQ(log.find("Timeout has expired"), -1);
    EXPECT_EQ(sharedSession().socketOwnerProcess, 0);
}

TEST_F(Send, SilentResponderTimesOut) {
    script({"accept", "expect", "put a|b|1|7\\r\\n", "sleep", "6000"});
    LogCapture log;
    EXPECT_EQ(send("x", 7, 2), 101);
    EXPECT_TRUE(log.has("recv() failed in getreply rc=10060"));
    EXPECT_EQ(sharedSession().linkDown, 1);
    EXPECT_EQ(sharedSession().connected, 0);
}

TEST_F(Send, ResponderThatGoesAwayEndsTheCallEvenWithoutLimit) {
    // After the header, before the go-ahead; then after the bytes, before the
    // final acknowledgement; then a reset.
    script({"accept", "expect", "put a|b|1|7\\r\\n", "close", "accept", "expect", "put a|b|1|7\\r\\n", "send",
            "000 OK\\r\\n", "expect", "x", "close", "accept", "expect", "put a|b|1|7\\r\\n", "reset"});
    EXPECT_EQ(send("x", 7, 0), 100);
    EXPECT_EQ(sharedSession().linkDown, 1);
    EXPECT_EQ(send("x", 7, 0), 100);
    EXPECT_EQ(send("x", 7, 0), 100);
    EXPECT_EQ(sharedSession().connected, 0);
}

TEST_F(Send, ResponderThatStopsReadingHoldsTheBlockUntilTheLimit) {
    // 64 MiB cannot fit in the socket buffers of a peer that reads nothing.
    script({"accept", "expect", "put a|b|67108864|21\\r\\n", "send", "000 OK\\r\\n", "sleep", "8000"});
    LogCapture log;
    std::string block(64 << 20, 'b');
    auto start = steady_clock::now();
    int32_t result = send(block, 21, 2);
    EXPECT_EQ(result, 101) << "the bytes stopped moving, and then the limit passed";
    EXPECT_GE(steady_clock::now() - start, seconds(2))
        << "a stall of the connection's send time-out is no failure";
    EXPECT_LT(steady_clock::now() - start, seconds(6));
    EXPECT_TRUE(log.has("send() failed to transmit data  rc=10060"));
    EXPECT_TRUE(log.has("Timeout has expired"));
    EXPECT_EQ(sharedSession().connected, 0) << "the rest of the block cannot follow on this connection";
    EXPECT_EQ(progressSeen.size(), 0u);
}

}  // namespace
}  // namespace dyadc
