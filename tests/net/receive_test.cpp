// DyadRecvDataBlock in workstation 1 against a scripted Initiator in
// workstation 2.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <thread>

#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "dyadc.h"
#include "session/session.h"
#include "tests/support/fixtures.h"
#include "tests/support/results.h"
#include "tests/support/scripted_initiator.h"

namespace dyadc {
namespace {

using test::Child;
using test::Lan;
using test::LogCapture;

class Receive : public test::ScriptedInitiatorTest {
protected:
    void SetUp() override {
        ScriptedInitiatorTest::SetUp();
        sharedSession().paired = 1;
        sharedSession().linkDown = 0;
    }

    struct Call {
        int32_t result;
        int32_t length;
        int32_t type;
        std::string data;
    };
    Call receive(uint32_t size, uint32_t limit = 20, int32_t typeBefore = -77) {
        Call call{0, -55, typeBefore, {}};
        std::string buffer(size, 'x');
        call.result = DyadRecvDataBlock(first, second, limit, buffer.data(), size, &call.length, &call.type,
                                        nullptr);
        call.data = buffer;
        return call;
    }

    char first[260] = {};
    char second[260] = {};
};

TEST_F(Receive, EmptyBlockIsAcknowledgedAtOnce) {
    script({"send", "put a|b|0|7\\r\\n", "expect", "000 OK\\r\\n000 Ok\\r\\n", "eof"});
    Call call = receive(8);
    EXPECT_EQ(call.result, 0);
    EXPECT_EQ(call.length, 0);
    EXPECT_EQ(call.type, 7);
    EXPECT_EQ(call.data, std::string(8, '\0'));
    EXPECT_STREQ(first, "a");
    EXPECT_STREQ(second, "b");
    EXPECT_EQ(sharedSession().connected, 0) << "a single block closes the connection its call made";
}

TEST_F(Receive, BlockLargerThanTheBufferComesInPieces) {
    script({"send", "put a|b|10|7\\r\\n", "expect", "000 OK\\r\\n", "send", "0123456789", "expect", "000 Ok\\r\\n",
            "eof"});
    SharedSession& s = sharedSession();
    Call one = receive(4);
    EXPECT_EQ(one.result, 0);
    EXPECT_EQ(one.length, 4);
    EXPECT_EQ(one.type, 7);
    EXPECT_EQ(one.data, "0123");
    EXPECT_EQ(s.blockSize, 10u);
    EXPECT_EQ(s.blockBytesReceived, 4u);
    Call two = receive(4);
    EXPECT_EQ(two.length, 4);
    EXPECT_EQ(two.type, 22);
    EXPECT_EQ(two.data, "4567");
    Call three = receive(4);
    EXPECT_EQ(three.length, 2);
    EXPECT_EQ(three.type, 22);
    EXPECT_EQ(three.data, std::string("89\0\0", 4));
    EXPECT_EQ(s.blockSize, 0u);
    EXPECT_EQ(s.connected, 0) << "reported as 22, but a single block closes the connection made for it";
    EXPECT_EQ(s.bytesTransferred, 10.0);
}

TEST_F(Receive, LastBlockOfASeriesReportsTwentyOnlyWhenComplete) {
    script({"send", "put a|b|10|20\\r\\n", "expect", "000 OK\\r\\n", "send", "0123456789", "expect",
            "000 Ok\\r\\n", "eof"});
    EXPECT_EQ(receive(4).type, 22);
    EXPECT_EQ(receive(4).type, 22);
    Call last = receive(4);
    EXPECT_EQ(last.type, 20);
    EXPECT_EQ(last.length, 2);
    EXPECT_EQ(sharedSession().connected, 0);
}

TEST_F(Receive, SeriesTravelsOverOneConnection) {
    script({"send", "put f|s|3|21\\r\\n", "expect", "000 OK\\r\\n", "send", "abc", "expect", "000 Ok\\r\\n",
            "send", "put f|s|3|22\\r\\n", "expect", "000 OK\\r\\n", "send", "def", "expect", "000 Ok\\r\\n",
            "send", "put f|s|3|22\\r\\n", "expect", "000 OK\\r\\n", "send", "ghi", "expect", "000 Ok\\r\\n",
            "send", "put f|s|3|20\\r\\n", "expect", "000 OK\\r\\n", "send", "jkl", "expect", "000 Ok\\r\\n",
            "eof"});
    const int32_t types[] = {21, 22, 22, 20};
    const char* data[] = {"abc", "def", "ghi", "jkl"};
    for (int i = 0; i < 4; ++i) {
        Call call = receive(3);
        EXPECT_EQ(call.result, 0);
        EXPECT_EQ(call.type, types[i]);
        EXPECT_EQ(call.data, data[i]) << "an exact fit is one call";
        EXPECT_EQ(sharedSession().connected, i < 3 ? 1 : 0);
    }
}

TEST_F(Receive, IncompleteHeadersShiftFieldsAndGetNoReply) {
    // An empty first name: the second is taken as the first, and the type runs out.
    script({"send", "put |b|5|7\\r\\n", "quiet", "1500", "send", "put a|b|5\\r\\n", "quiet", "1500", "send",
            "put |\\r\\n", "quiet", "1500", "close"});
    Call shifted = receive(8, 20, 21);
    EXPECT_EQ(shifted.result, -1);
    EXPECT_STREQ(first, "b");
    EXPECT_STREQ(second, "5");
    EXPECT_EQ(shifted.length, 7);
    EXPECT_EQ(shifted.type, 21) << "not written";
    Call noType = receive(8, 20, 21);
    EXPECT_EQ(noType.result, -1);
    EXPECT_EQ(noType.length, 5);
    EXPECT_EQ(noType.type, 21);
    // The line end belongs to no field: no name handed over holds it.
    std::strcpy(first, "kept");
    EXPECT_EQ(receive(8, 20, 21).result, -1);
    EXPECT_STREQ(first, "kept");
}

TEST_F(Receive, TwoThreadsTakeTurnsAndGetEveryBlockOnce) {
    std::vector<std::string> steps;
    for (int i = 0; i < 6; ++i) {
        if (i > 0) steps.insert(steps.end(), {"connect", "192.168.10.2", "192.168.10.1"});
        steps.insert(steps.end(), {"send", "put b" + std::to_string(i) + "|n|3|7\\r\\n", "expect", "000 OK\\r\\n",
                                   "send", "abc", "expect", "000 Ok\\r\\n", "close"});
    }
    script(steps);
    std::vector<std::string> got[2];
    auto receiver = [&got](int which) {
        char names[2][DYAD_NAME_BUFFER_SIZE];
        char data[8];
        int32_t length = 0, type = 0, result = 0;
        while ((result = DyadRecvDataBlock(names[0], names[1], 3, data, sizeof data, &length, &type, nullptr)) !=
               101) {
            if (result == 0) got[which].push_back(names[0]);
        }
    };
    std::thread first(receiver, 0), second(receiver, 1);
    first.join();
    second.join();
    std::multiset<std::string> all(got[0].begin(), got[0].end());
    all.insert(got[1].begin(), got[1].end());
    EXPECT_EQ(all, (std::multiset<std::string>{"b0", "b1", "b2", "b3", "b4", "b5"}));
}

TEST_F(Receive, KeptConnectionThatThePeerClosesIsNoFailure) {
    // A series block larger than the buffer, then a single block on a
    // connection of its own.
    script({"send",   "put a|b|6|21\\r\\n", "expect", "000 OK\\r\\n", "send",         "abcdef",
            "expect", "000 Ok\\r\\n",       "close",  "connect",      "192.168.10.2", "192.168.10.1",
            "send",   "put c|d|3|7\\r\\n",  "expect", "000 OK\\r\\n", "send",         "ghi",
            "expect", "000 Ok\\r\\n",       "eof"});
    EXPECT_EQ(receive(4).data, "abcd");
    Call rest = receive(4);
    EXPECT_EQ(rest.result, 0);
    EXPECT_EQ(rest.type, 22);
    EXPECT_EQ(sharedSession().connected, 1) << "a series keeps the connection";
    Call next = receive(4);
    EXPECT_EQ(next.result, 0) << "the closed connection is replaced by the peer's next one";
    EXPECT_EQ(next.data, std::string("ghi\0", 4));
    EXPECT_EQ(next.type, 7);
    EXPECT_STREQ(first, "c");
}

TEST_F(Receive, QuitEmptyAndUnknownLines) {
    script({"send", "\\r\\n", "send", "hello world\\r\\n", "send", "quit\\r\\n", "send", "quit 23\\r\\n"});
    std::strcpy(first, "untouched");
    for (int i = 0; i < 3; ++i) {
        Call call = receive(8, 20, 22);
        EXPECT_EQ(call.result, 0) << i;
        EXPECT_EQ(call.length, -55) << "not written";
        EXPECT_EQ(call.type, 22);
    }
    Call quit = receive(8, 20, 7);
    EXPECT_EQ(quit.result, 23);
    EXPECT_EQ(quit.length, -55);
    EXPECT_STREQ(first, "untouched");
    EXPECT_EQ(sharedSession().connected, 1) << "the call made no connection, so type 7 keeps it";
}

TEST_F(Receive, LengthsOfTwoToTheThirtyFirstArriveAsSent) {
    script(
        {"send", "put a|b|-2147483648|7\\r\\n", "expect", "000 OK\\r\\n", "send", "xy", "sleep", "300", "close"});
    Call call = receive(2);
    EXPECT_EQ(call.result, 0);
    EXPECT_EQ(call.length, 2);
    EXPECT_EQ(call.data, "xy");
    EXPECT_EQ(sharedSession().blockSize, 2147483648u);
    EXPECT_EQ(receive(2).result, 100) << "the sender went away mid-block";
    EXPECT_EQ(sharedSession().blockSize, 0u) << "the lost block is discarded";
}

// A name that does not fit the host's 260-byte buffer is refused at the
// header, not cut to another name: no reply, the connection closed, nothing
// written. One that just fits arrives whole.
TEST_F(Receive, NamesLongerThanTheirBuffersAreRefused) {
    const std::string fits(259, 'f'), tooLong(260, 'n');
    script({"send",         "put " + fits + "|" + tooLong + "|1|7\\r\\n",
            "eof",          "connect",
            "192.168.10.2", "192.168.10.1",
            "send",         "put " + tooLong + "|b|1|7\\r\\n",
            "eof",          "connect",
            "192.168.10.2", "192.168.10.1",
            "send",         "put " + fits + "|" + fits + "|1|7\\r\\n",
            "expect",       "000 OK\\r\\n",
            "send",         "z",
            "expect",       "000 Ok\\r\\n"});
    LogCapture log;
    char guarded[2][300];
    std::memset(guarded, '#', sizeof guarded);
    int32_t length = -55, type = -77;
    char byte = 0;
    for (int refused = 0; refused < 2; ++refused) {
        EXPECT_EQ(DyadRecvDataBlock(guarded[0], guarded[1], 20, &byte, 1, &length, &type, nullptr), 100);
        EXPECT_EQ(guarded[0][0], '#') << "no name written";
        EXPECT_EQ(guarded[1][0], '#');
        EXPECT_EQ(length, -55);
        EXPECT_EQ(sharedSession().connected, 0);
    }
    EXPECT_TRUE(log.has("put refused: a name is longer than 259 characters"));
    EXPECT_EQ(DyadRecvDataBlock(guarded[0], guarded[1], 20, &byte, 1, &length, &type, nullptr), 0);
    EXPECT_EQ(std::string(guarded[0]), fits);
    EXPECT_EQ(std::string(guarded[1]), fits);
    EXPECT_EQ(guarded[0][260], '#') << "nothing written past the 260 bytes";
    EXPECT_EQ(byte, 'z');
}

TEST_F(Receive, PeerGoneMidBlockEndsTheCallAndTheBlock) {
    script({"send", "put a|b|10|7\\r\\n", "expect", "000 OK\\r\\n", "send", "01234", "sleep", "200", "close"});
    LogCapture log;
    Call call = receive(20, 0);  // no limit: must not wait forever on the dead connection
    EXPECT_EQ(call.result, 100);
    EXPECT_EQ(call.length, 5);
    EXPECT_EQ(sharedSession().blockSize, 0u);
    EXPECT_EQ(sharedSession().connected, 0);
    EXPECT_TRUE(log.hasPrefix("ERROR: Unconnected client.  Socket error "));
}

TEST_F(Receive, PeerKilledMidBlockEndsTheCall) {
    script({"send", "put a|b|10|7\\r\\n", "expect", "000 OK\\r\\n", "send", "012", "hold"});
    std::thread killer([this] {
        if (peer.waitForOutput("holding")) peer.kill(SIGKILL);
    });
    Call call = receive(20, 0);
    killer.join();
    EXPECT_EQ(call.result, 100);
    EXPECT_EQ(call.length, 3);
    EXPECT_EQ(sharedSession().blockSize, 0u);
    EXPECT_EQ(peer.wait(), 128 + SIGKILL);
    peer = Child();  // ended as meant
}

TEST_F(Receive, ResetMidBlockEndsTheCall) {
    script({"send", "put a|b|10|7\\r\\n", "expect", "000 OK\\r\\n", "send", "01", "sleep", "200", "reset"});
    EXPECT_EQ(receive(20, 0).result, 100);
    EXPECT_EQ(sharedSession().blockSize, 0u);
}

TEST_F(Receive, TimeOutKeepsTheBlockForTheNextCall) {
    script({"send", "put a|b|6|7\\r\\n", "expect", "000 OK\\r\\n", "send", "abc", "sleep", "4500", "send", "def",
            "expect", "000 Ok\\r\\n"});
    LogCapture log;
    Call first = receive(10, 2);
    EXPECT_EQ(first.result, 101);
    EXPECT_EQ(first.length, 3) << "the bytes already in the buffer are reported";
    EXPECT_TRUE(log.has("Warning: Receive Timeout Expired.  Socket error 10060"));
    EXPECT_EQ(sharedSession().blockBytesReceived, 3u);
    Call rest = receive(10, 20);
    EXPECT_EQ(rest.result, 0);
    EXPECT_EQ(rest.length, 3);
    EXPECT_EQ(rest.type, 22);
    EXPECT_EQ(rest.data.substr(0, 3), "def");
}

TEST_F(Receive, SilentInitiatorAndNobodyAtAll) {
    LogCapture log;
    // Nobody connects: the limit passes while re-listening.
    Call nobody = receive(4, 3);
    EXPECT_EQ(nobody.result, 101);
    EXPECT_TRUE(log.has("Client connect Timeout"));
    // Connected but silent: the header read times out.
    script({"sleep", "8000"});
    Call silent = receive(4, 2);
    EXPECT_EQ(silent.result, 101);
    EXPECT_TRUE(log.has("ERROR: Receive Timeout Expired.  Socket error 10060"));
    EXPECT_EQ(sharedSession().connected, 1) << "a header time-out leaves the connection open";
}

// A call blocks for its limit and not longer, whether it listens for a
// connection (the window and the pause after it end at the limit) or waits on
// a silent one.
TEST_F(Receive, CallsEndAtTheirLimit) {
    const auto timed = [&](uint32_t limit) {
        const auto began = std::chrono::steady_clock::now();
        EXPECT_EQ(receive(4, limit).result, 101);
        const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        EXPECT_GE(took, limit - 0.05) << limit;
        EXPECT_LT(took, limit + 0.75) << limit;
    };
    for (uint32_t limit : {2u, 3u, 6u}) timed(limit);
    script({"sleep", "6000"});
    timed(2);
    EXPECT_EQ(sharedSession().connected, 1) << "the silent connection was accepted";
}

TEST_F(Receive, NullArgumentsAreRefused) {
    int32_t length = 0, type = 0;
    char buffer[4];
    EXPECT_EQ(DyadRecvDataBlock(nullptr, second, 1, buffer, 4, &length, &type, nullptr), -1);
    EXPECT_EQ(DyadRecvDataBlock(first, second, 1, nullptr, 4, &length, &type, nullptr), -1);
    EXPECT_EQ(DyadRecvDataBlock(first, second, 1, buffer, 4, nullptr, &type, nullptr), -1);
    EXPECT_EQ(DyadRecvDataBlock(first, second, 1, buffer, 4, &length, nullptr, nullptr), -1);
}

}  // namespace
}  // namespace dyadc
