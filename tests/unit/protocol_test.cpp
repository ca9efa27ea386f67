// The announce datagram and the version rule.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "blocks/blocks.h"
#include "link/link.h"
#include "rendezvous/rendezvous.h"
#include "session/session.h"
#include "session/time_limit.h"
#include "wire/protocol.h"

namespace dyadc {
namespace {

TEST(Protocol, AnnounceIsTheIdentifierAndOneNul) {
    uint8_t datagram[100];
    ASSERT_EQ(makeAnnounce("LAB7", datagram, sizeof datagram), 5u);
    EXPECT_EQ(std::memcmp(datagram, "LAB7\0", 5), 0);
    std::string longest(63, 'i');
    EXPECT_EQ(makeAnnounce(longest.c_str(), datagram, sizeof datagram), 64u);
    EXPECT_EQ(makeAnnounce(longest.c_str(), datagram, 10), 0u);
    EXPECT_EQ(makeAnnounce("", datagram, sizeof datagram), 1u);
}

TEST(Protocol, AnnounceTextStopsAtNulAndNeverPastTheBytes) {
    char text[101];
    const uint8_t withNul[] = {'L', 'A', 'B', '7', 0, 'x', 'y'};
    announceText(withNul, sizeof withNul, text);
    EXPECT_STREQ(text, "LAB7");
    const uint8_t withoutNul[] = {'L', 'A', 'B'};
    announceText(withoutNul, sizeof withoutNul, text);
    EXPECT_STREQ(text, "LAB");
    announceText(withoutNul, 0, text);
    EXPECT_STREQ(text, "");
}

TEST(Protocol, VersionTextsCompareAsDecimalNumbers) {
    EXPECT_DOUBLE_EQ(versionNumber("2.04"), 2.04);
    EXPECT_DOUBLE_EQ(versionNumber("  2.10\r\n"), 2.10);
    EXPECT_DOUBLE_EQ(versionNumber(""), 0.0);
    EXPECT_DOUBLE_EQ(versionNumber("\r\n"), 0.0);
    EXPECT_DOUBLE_EQ(versionNumber("abc"), 0.0);
    EXPECT_DOUBLE_EQ(versionNumber("-1.5x"), -1.5);
    EXPECT_DOUBLE_EQ(versionNumber("+.5"), 0.5);
    EXPECT_DOUBLE_EQ(versionNumber("3e2"), 300.0);
    EXPECT_DOUBLE_EQ(versionNumber("1.e1"), 10.0);
    EXPECT_DOUBLE_EQ(versionNumber("7e"), 7.0) << "an unfinished exponent is not part of the number";
    EXPECT_DOUBLE_EQ(versionNumber("0x10"), 0.0) << "no hexadecimal";
    EXPECT_DOUBLE_EQ(versionNumber("inf"), 0.0) << "no words";
    EXPECT_DOUBLE_EQ(versionNumber("."), 0.0);
    EXPECT_TRUE(std::isinf(versionNumber("1e999")));
    EXPECT_DOUBLE_EQ(versionNumber("1e-999"), 0.0);

    EXPECT_FALSE(updateWanted("2.10", "2.09"));
    EXPECT_TRUE(updateWanted("2.09", "2.10"));
    EXPECT_FALSE(updateWanted("2.04", "2.04"));
    EXPECT_FALSE(updateWanted("2.10", "2.100")) << "equal numbers";
    EXPECT_TRUE(updateWanted("1.99", "2.04"));
    EXPECT_FALSE(updateWanted("2.04", "")) << "an empty Initiator version never asks";
    EXPECT_TRUE(updateWanted("", "0.01")) << "no own version: any positive one is newer";
    EXPECT_FALSE(updateWanted("", "0"));
}

TEST(Protocol, InitiatorWaitsFiveSecondsThenWhatRemainsThenOne) {
    struct Case {
        uint32_t limit;
        int32_t elapsed;
        uint32_t wait;
    } cases[] = {{0, 0, 1}, {0, 100, 1}, {30, 0, 5}, {30, 24, 5}, {30, 26, 4},
                 {3, 0, 3}, {3, 2, 1},   {3, 3, 1},  {3, 9, 1},   {1, 0, 1}};
    for (const Case& c : cases) {
        uint32_t wait = 0;
        for (int32_t now = 0; now != platform::currentTime();) {  // again if a second began meanwhile
            now = platform::currentTime();
            operationStart() = now - c.elapsed;
            wait = initiatorCycleWait(c.limit);
        }
        EXPECT_EQ(wait, c.wait) << c.limit << " " << c.elapsed;
    }
}

// A reconnection's requests, none answered: the quick ones from new ports come
// early, and the last waits for at least three quarters of the time-out (an
// answer that comes after its request was given up is lost).
TEST(Protocol, ReconnectionKeepsMostOfItsTimeOutForTheLastRequest) {
    struct Case {
        int64_t answer;  // the Responder's last answer time, microseconds
        int64_t first;   // the first request's wait
        int requests;
    } cases[] = {{0, 250, 10}, {60, 250, 10}, {2000, 8000, 6}, {50000, 200000, 2}, {70000, 1000000, 1}};
    for (const Case& c : cases) {
        ConnectSchedule schedule(1000000, c.answer);
        int64_t elapsed = 0;
        int requests = 1;
        ConnectSchedule::Wait wait = schedule.next(elapsed);
        EXPECT_EQ(wait.microseconds, c.first) << c.answer;
        for (; !wait.last && requests < 100; ++requests) {
            elapsed += wait.microseconds;
            wait = schedule.next(elapsed);
        }
        EXPECT_EQ(requests, c.requests) << c.answer;
        EXPECT_GE(wait.microseconds, 750000) << c.answer;
        EXPECT_EQ(elapsed + wait.microseconds, 1000000) << c.answer;
    }
    // A request made after the time-out has passed does not wait.
    EXPECT_EQ(ConnectSchedule(1000000, 0).next(1200000).microseconds, 0);
}

TEST(Protocol, HeaderNumbersKeepTheirLow32BitsOnEveryPlatform) {
    char first[DYAD_NAME_BUFFER_SIZE] = {}, second[DYAD_NAME_BUFFER_SIZE] = {};
    const ParsedLine parsed = parseCommandLine("put a|b|4294967297|-4294967289\r\n", first, second);
    EXPECT_EQ(parsed.kind, ParsedLine::put);
    EXPECT_EQ(parsed.length, 1);
    EXPECT_EQ(parsed.type, 7);
    EXPECT_EQ(parseCommandLine("put a|b|-2147483648|99999999999999999999999\r\n", first, second).type,
              static_cast<int32_t>(0xFFFFFFFF))
        << "a number past 64 bits is held at the largest";
}

}  // namespace
}  // namespace dyadc
