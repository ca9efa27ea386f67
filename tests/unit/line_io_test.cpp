// Lines and replies on a connection (a local socket pair stands in for it).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "tests/support/fixtures.h"
#include "tests/support/results.h"
#include "wire/line_io.h"

namespace dyadc {
namespace {

using test::LogCapture;

class LineIo : public testing::Test {
protected:
    void SetUp() override {
        test::freshSession();
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    }
    void TearDown() override {
        if (ends[0] >= 0) close(ends[0]);
        if (ends[1] >= 0) close(ends[1]);
    }
    void peerSends(const std::string& bytes) {
        ASSERT_EQ(write(ends[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    std::string peerReceives() {
        char buffer[4096];
        ssize_t got = recv(ends[1], buffer, sizeof buffer, MSG_DONTWAIT);
        return got > 0 ? std::string(buffer, static_cast<size_t>(got)) : std::string();
    }
    void peerCloses() {
        close(ends[1]);
        ends[1] = -1;
    }
    int ends[2] = {-1, -1};
};

TEST_F(LineIo, PutLineIsThirteenBytesAndLoggedWithItsEnd) {
    LogCapture log;
    EXPECT_EQ(sendLine(ends[0], "put %s|%s|%ld|%d", "a", "b", 5L, 0), 0);
    EXPECT_EQ(peerReceives(), "put a|b|5|0\r\n");
    EXPECT_NE(test::readFile(log.path()).find("    >>put a|b|5|0\r\n\r\n"), std::string::npos);
}

TEST_F(LineIo, OverlongLinesAreRefusedNotCut) {
    std::string name(300, 'n');
    EXPECT_EQ(sendLine(ends[0], "put %s|b|1|7", name.c_str()), platform::errorMessageTooLong);
    EXPECT_EQ(peerReceives(), "");
    // 257 characters still go.
    std::string exact(257, 'x');
    EXPECT_EQ(sendLine(ends[0], "%s", exact.c_str()), 0);
    EXPECT_EQ(peerReceives(), exact + "\r\n");
}

TEST_F(LineIo, LongLineIsCutToTheBufferAndTheNextByteStaysInTheSocket) {
    LogCapture log;
    peerSends("ABCDEFGHIJ\r\nZ");
    char buffer[8];
    EXPECT_EQ(receiveLine(ends[0], buffer, sizeof buffer), LineRead::complete);
    EXPECT_STREQ(buffer, "ABCDEFG");
    EXPECT_TRUE(log.has("<<ABCDEFG"));
    char next = 0;
    EXPECT_EQ(recv(ends[0], &next, 1, MSG_DONTWAIT), 1);
    EXPECT_EQ(next, 'Z');
}

TEST_F(LineIo, LineArrivingInPiecesIsJoinedAndStopsAtItsEnd) {
    peerSends("put a|b|");
    std::thread later([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        peerSends("3|7\r\nabc");
    });
    char buffer[2048];
    EXPECT_EQ(receiveLine(ends[0], buffer, sizeof buffer), LineRead::complete);
    later.join();
    EXPECT_STREQ(buffer, "put a|b|3|7\r\n");
    char bytes[4] = {};
    EXPECT_EQ(recv(ends[0], bytes, 3, MSG_DONTWAIT), 3);
    EXPECT_STREQ(bytes, "abc");
}

TEST_F(LineIo, ClosedOrSilentPeerEndsTheLine) {
    char buffer[16];
    std::memset(buffer, 'q', sizeof buffer);
    peerCloses();
    const LineResult read = receiveLine(ends[0], buffer, sizeof buffer);
    EXPECT_EQ(read, LineRead::failed);
    EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, '\0'));
    EXPECT_EQ(read.error, 0) << "a close is not an error";
}

TEST_F(LineIo, ReceiveTimeOutGivesTheTimeOutError) {
    ASSERT_EQ(platform::setReceiveTimeout(ends[0], 300), 0);
    peerSends("partial");
    char buffer[16];
    const LineResult read = receiveLine(ends[0], buffer, sizeof buffer);
    EXPECT_EQ(read, LineRead::failed);
    EXPECT_EQ(read.error, platform::errorTimedOut);
    EXPECT_STREQ(buffer, "partial") << "what arrived stays in the buffer";
}

TEST_F(LineIo, SendingToAGonePeerFailsWithoutASignal) {
    peerCloses();
    const Result error = sendLine(ends[0], "quit %d", 23);
    EXPECT_NE(error, 0);
    EXPECT_NE(error, platform::errorTimedOut);
}

TEST_F(LineIo, RepliesGiveTheirCode) {
    LogCapture log;
    int32_t code = -5;
    peerSends("000 Ok\r\n");
    EXPECT_EQ(readReply(ends[0], &code), 0);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(log.find("000 Ok"), -1) << "a positive reply is not logged again";

    peerSends("001 CANCEL\r\n");
    EXPECT_EQ(readReply(ends[0], &code), 0);
    EXPECT_EQ(code, 1);
    EXPECT_TRUE(log.has("001 CANCEL"));

    peerSends("24 UPDT\r\n");
    EXPECT_EQ(readReply(ends[0], &code), 0);
    EXPECT_EQ(code, 24);

    for (const char* positive : {"\r\n", "hello there\r\n", "000 OK\r\n"}) {
        peerSends(positive);
        EXPECT_EQ(readReply(ends[0], &code), 0);
        EXPECT_EQ(code, 0) << positive;
    }
}

TEST_F(LineIo, ContinuedReplyReadsUpToItsLastLine) {
    LogCapture log;
    int32_t code = 0;
    peerSends("123-first\r\nsomething else\r\n123 last\r\n000 OK\r\n");
    EXPECT_EQ(readReply(ends[0], &code), 0);
    EXPECT_EQ(code, 123);
    EXPECT_TRUE(log.has("123 last"));
    EXPECT_EQ(readReply(ends[0], &code), 0);
    EXPECT_EQ(code, 0) << "the next reply starts after the continued one";

    peerSends("123-first\r\n");
    peerCloses();
    EXPECT_EQ(readReply(ends[0], &code), 99);
    EXPECT_EQ(code, 123);
}

TEST_F(LineIo, FailedReplyReadIs99WithCodeZero) {
    int32_t code = 7;
    const Deadline passed = Deadline::after(0);
    const Transfer silent = readReply(ends[0], &code, passed);
    EXPECT_EQ(silent.result, 99) << "nothing there by the deadline";
    EXPECT_EQ(silent.error, platform::errorTimedOut);
    // A reply that is already there is read, deadline or not.
    peerSends("000 Ok\r\n");
    EXPECT_EQ(readReply(ends[0], &code, passed), 0);
    peerCloses();
    EXPECT_EQ(readReply(ends[0], &code), 99);
    EXPECT_EQ(code, 0);
}

TEST_F(LineIo, ReplyLongerThanItsBufferIsReadWhole) {
    int32_t code = 0;
    peerSends("001 " + std::string(3000, 'x') + "\r\n000 OK\r\n");
    EXPECT_EQ(readReply(ends[0], &code), 0);
    EXPECT_EQ(code, 1);
    EXPECT_EQ(readReply(ends[0], &code), 0);
    EXPECT_EQ(code, 0);
}

TEST(ReplyCode, ReadsLikeAtoiOverThreeCharacters) {
    EXPECT_EQ(replyCode("000 OK"), 0);
    EXPECT_EQ(replyCode("001 CANCEL"), 1);
    EXPECT_EQ(replyCode("24 UPDT"), 24);
    EXPECT_EQ(replyCode(" 5 x"), 5);
    EXPECT_EQ(replyCode("-12"), -12);
    EXPECT_EQ(replyCode("9999"), 999);
    EXPECT_EQ(replyCode("abc"), 0);
    EXPECT_EQ(replyCode(""), 0);
}

}  // namespace
}  // namespace dyadc
