// DyadOpen, DyadOpenXOver and DyadClose where no network is involved: the
// already-paired path, callbacks, the address mask and the count of opens.
#include <gtest/gtest.h>

#include <cstring>

#include "dyadc.h"
#include "session/session.h"
#include "tests/support/fixtures.h"

namespace dyadc {
namespace {

using test::LogCapture;

int32_t identifierCalls = 0;
int32_t DYADC_CALL refuseIdentifier(char* buffer) {
    ++identifierCalls;
    std::strcpy(buffer, "ID");
    return 7;
}
int32_t DYADC_CALL mustNotBeCalled(char*) {
    ADD_FAILURE() << "identifier callback called";
    return 1;
}
int32_t DYADC_CALL acceptAll(const char*) {
    return 0;
}

class Open : public testing::Test {
protected:
    void SetUp() override {
        test::freshSession();
        identifierCalls = 0;
    }
};

TEST_F(Open, AlreadyPairedOnlyCounts) {
    SharedSession& s = sharedSession();
    s.paired = 1;
    s.openCount = 4;
    EXPECT_EQ(DyadOpen(mustNotBeCalled, nullptr, 0, 1), 0);
    EXPECT_EQ(s.openCount, 5u);
    EXPECT_EQ(processSession().openTicket, 5);
    EXPECT_EQ(s.wsaData.version, 0x0101);
    EXPECT_EQ(DyadOpen(nullptr, nullptr, 0, 2), 0) << "the callbacks are not looked at";
    EXPECT_EQ(s.openCount, 6u);
}

TEST_F(Open, IdentifierCallbackCanAbortTheOpen) {
    SharedSession& s = sharedSession();
    s.openCount = 2;
    processSession().openTicket = 9;
    EXPECT_EQ(DyadOpen(refuseIdentifier, acceptAll, 1, 1), 7);
    EXPECT_EQ(DyadOpen(refuseIdentifier, acceptAll, 1, 0), 7);
    EXPECT_EQ(identifierCalls, 2);
    EXPECT_EQ(s.openCount, 2u);
    EXPECT_EQ(processSession().openTicket, 9);
    EXPECT_STREQ(s.pairingId, " ");
}

TEST_F(Open, MissingCallbacksAreRefused) {
    EXPECT_EQ(DyadOpen(nullptr, acceptAll, 1, 1), -1);
    EXPECT_EQ(DyadOpen(refuseIdentifier, nullptr, 1, 2), -1) << "a Responder needs its verify callback";
    EXPECT_EQ(identifierCalls, 0);
    EXPECT_EQ(DyadOpen(refuseIdentifier, nullptr, 1, 1), 7) << "an Initiator does not";
}

TEST_F(Open, MasksBecomeAddressPrefixes) {
    SharedSession& s = sharedSession();
    struct Case {
        const char* mask;
        const char* prefix;
    } cases[] = {{"192.168.0.0", "192.168."},    {"10.0.0.0", "10."}, {"10.0.5.0", "10.0.5."}, {"0.0.0.0", "0."},
                 {"192.168.1.5", "192.168.1.5"}, {"..10..0.", "10."}, {"a.b.0", "a."}};
    for (const Case& c : cases) {
        LogCapture log;
        EXPECT_EQ(DyadOpenXOver(refuseIdentifier, acceptAll, 1, 1, c.mask), 7) << c.mask;
        EXPECT_STREQ(s.addressMask, c.prefix) << c.mask;
        EXPECT_EQ(s.useAddressMask, 0) << "a failed open clears the mask's use";
        EXPECT_TRUE(log.has(std::string("The IPMASK looks like ") + c.mask));
        EXPECT_TRUE(log.has(std::string("The end resulting addressmask looks like <") + c.prefix + ">"));
    }
}

TEST_F(Open, UnusableMasksAreRefusedBeforeAnythingElse) {
    SharedSession& s = sharedSession();
    for (const char* mask :
         {"1234.5.0.0", ".", "", "...", "192.168.100.1000", "1234567890123456", "1.99999999999"}) {
        s.useAddressMask = 1;
        EXPECT_EQ(DyadOpenXOver(refuseIdentifier, acceptAll, 1, 1, mask), 104) << mask;
        EXPECT_EQ(s.useAddressMask, 0);
    }
    EXPECT_EQ(identifierCalls, 0);
    // Fields converted before the failing one may stay.
    EXPECT_EQ(DyadOpenXOver(refuseIdentifier, acceptAll, 1, 1, "10.20.3000"), 104);
    EXPECT_STREQ(s.addressMask, "10.20.");
    // No mask: like DyadOpen, and the mask is no longer used.
    s.useAddressMask = 1;
    EXPECT_EQ(DyadOpenXOver(refuseIdentifier, acceptAll, 1, 1, nullptr), 7);
    EXPECT_EQ(s.useAddressMask, 0);
    EXPECT_EQ(identifierCalls, 1);
}

// Each process closes its own opens: the count that other processes hold
// (here written into the Session) is theirs.
TEST_F(Open, ClosesCountDownThisProcesssOpensOnly) {
    SharedSession& s = sharedSession();
    LogCapture log;
    EXPECT_EQ(DyadClose(), 0);
    EXPECT_EQ(s.openCount, 0u) << "a close without an open changes nothing";
    s.paired = 1;
    s.openCount = 2;
    EXPECT_EQ(DyadClose(), 0);
    EXPECT_EQ(s.openCount, 2u) << "other processes' opens";
    ASSERT_EQ(DyadOpen(nullptr, nullptr, 0, 1), 0);
    ASSERT_EQ(DyadOpen(nullptr, nullptr, 0, 1), 0);
    EXPECT_EQ(s.openCount, 4u);
    EXPECT_EQ(DyadClose(), 0);
    EXPECT_EQ(s.openCount, 3u);
    EXPECT_TRUE(log.has("DLL still active, not closing socket"));
    s.openCount = 1;  // the other processes closed theirs
    EXPECT_EQ(DyadClose(), 0);
    EXPECT_EQ(s.openCount, 0u);
    EXPECT_TRUE(log.has("Closing Socket"));
    EXPECT_EQ(DyadClose(), 0);
    EXPECT_EQ(log.messages().front(), "DYADCLOSE Issued");
}

}  // namespace
}  // namespace dyadc
