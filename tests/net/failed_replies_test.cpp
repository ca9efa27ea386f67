// Replies that cannot leave because the peer reset the connection: the call
// that wanted to send them ends with the failure and goes no further.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "dyadc.h"
#include "rendezvous/rendezvous.h"
#include "session/session.h"
#include "tests/support/fixtures.h"
#include "tests/support/results.h"
#include "tests/support/scripted_initiator.h"

namespace dyadc {
namespace {

using test::Child;
using test::Lan;
using test::LogCapture;

// Workstation 1 runs the library in this process; workstation 2 is a
// scripted peer that resets its connection at a chosen step.
class FailedReply : public test::ScriptedInitiatorTest {
protected:
    void TearDown() override {
        ScriptedInitiatorTest::TearDown();
        resetting = nullptr;
    }
    // The host's approval of the name: lets the peer reset its connection
    // first, so that the acceptance cannot leave.
    static int32_t DYADC_CALL resetThenAccept(const char*) {
        resetting->closeInput();
        EXPECT_TRUE(resetting->waitForOutput("reset"));
        return 0;
    }

    static Child* resetting;
};
Child* FailedReply::resetting = nullptr;

TEST_F(FailedReply, GoAheadThatCannotLeaveEndsTheCallWithoutTheBlock) {
    SharedSession& s = sharedSession();
    s.paired = 1;
    s.linkDown = 0;
    // A series block keeps the connection; the next header and its bytes
    // wait on it while the sender resets it.
    script({"send", "put a|b|0|21\\r\\n", "expect", "000 OK\\r\\n000 Ok\\r\\n", "send", "put a|b|3|7\\r\\nabc",
            "reset"});
    char first[260] = {}, second[260] = {}, buffer[8] = {};
    int32_t length = -1, type = 0;
    ASSERT_EQ(DyadRecvDataBlock(first, second, 20, buffer, sizeof buffer, &length, &type, nullptr), 0);
    ASSERT_TRUE(peer.waitForOutput("reset"));
    EXPECT_EQ(DyadRecvDataBlock(first, second, 20, buffer, sizeof buffer, &length, &type, nullptr), 100);
    EXPECT_EQ(length, 0) << "no byte of a block that got no go-ahead is taken";
    EXPECT_EQ(s.blockSize, 0u);
    EXPECT_EQ(s.connected, 0);
}

TEST_F(FailedReply, AcceptanceThatCannotLeaveEndsTheRendezvous) {
    script({"send", "evil\\r\\n", "hold", "reset"});
    resetting = &peer;
    LogCapture log;
    EXPECT_EQ(responderRendezvous("LAB7", 20, resetThenAccept), 100);
    int sends = 0;
    for (const std::string& message : log.messages()) sends += message.rfind("send() failed", 0) == 0;
    EXPECT_EQ(sends, 1) << "the acceptance is sent once, and nothing after it failed";
    EXPECT_EQ(sharedSession().paired, 0);
    EXPECT_EQ(sharedSession().connected, 0);
}

}  // namespace
}  // namespace dyadc
