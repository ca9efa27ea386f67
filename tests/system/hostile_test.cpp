// Hostile peers and ordinary faults, through the real libdyadc.so: handshakes
// that stall or never end, connections that say nothing or close at once,
// receivers that pause, several receiving processes, and signals.
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "tests/support/lan_test.h"

namespace dyadc::test {
namespace {

using namespace std::chrono;

long long secondsSince(steady_clock::time_point began) {
    return duration_cast<milliseconds>(steady_clock::now() - began).count() / 1000;
}

// --- The Initiator's handshake ends whatever the Responder does ------------

struct InitiatorCase {
    const char* name;
    std::vector<std::string> afterAccept;  // the scripted Responder's steps
    const char* limit;
    int expected;
    int withinSeconds;
    friend void PrintTo(const InitiatorCase& c, std::ostream* out) { *out << c.name; }
};

class InitiatorHandshake : public LanTest, public testing::WithParamInterface<InitiatorCase> {};

TEST_P(InitiatorHandshake, EndsWithinItsLimit) {
    const InitiatorCase& c = GetParam();
    start();
    auto began = steady_clock::now();
    Child initiator = host(2, {"open", "1", "LAB7", c.limit});
    std::vector<std::string> steps{"listen", "192.168.10.1", "accept"};
    steps.insert(steps.end(), c.afterAccept.begin(), c.afterAccept.end());
    Child responder = peer(1, steps);
    ASSERT_TRUE(responder.waitForOutput("listening"));
    ASSERT_TRUE(waitForLog(2, "Selecting..."));
    Child announcer = peer(1, {"announce", "LAB7", "192.168.10.1", "10"});
    EXPECT_EQ(initiator.wait(seconds(c.withinSeconds + 5)), 0) << responder.output();
    EXPECT_EQ(initiator.output(), "setlog 0\nopen " + std::to_string(c.expected) + "\n") << responder.output();
    EXPECT_LE(secondsSince(began), c.withinSeconds);
}

INSTANTIATE_TEST_SUITE_P(
    Responders, InitiatorHandshake,
    testing::Values(InitiatorCase{"NeverAnswersTheName", {"hold"}, "5", 101, 9},
                    InitiatorCase{"AnswersHalfALineAndStalls", {"line", "send", "000 O", "hold"}, "5", 101, 9},
                    InitiatorCase{"SendsAnEndlessLine", {"line", "blast", "20"}, "5", 100, 6},
                    InitiatorCase{"SendsAnEndlessLineWithoutLimit", {"line", "blast", "20"}, "0", 100, 6},
                    InitiatorCase{"ClosesWithoutLimit", {"line", "close"}, "0", 100, 4},
                    InitiatorCase{"ResetsWithoutLimit", {"line", "reset"}, "0", 100, 4}),
    [](const testing::TestParamInfo<InitiatorCase>& info) { return std::string(info.param.name); });

// --- The Responder keeps announcing past connections that give no name ------

struct ResponderCase {
    const char* name;
    std::vector<std::string> attacker;  // test-peer steps from workstation 2
    const char* attackerReady;          // output of the attacker when it has done its worst
    bool genuineInitiator;              // workstation 3 then pairs
    int responderResult;
    friend void PrintTo(const ResponderCase& c, std::ostream* out) { *out << c.name; }
};

class ResponderHandshake : public LanTest, public testing::WithParamInterface<ResponderCase> {};

TEST_P(ResponderHandshake, DropsThemAndPairsWithinItsLimit) {
    const ResponderCase& c = GetParam();
    Lan::Options options;
    options.hosts = 3;
    start(options);
    const char* limit = c.genuineInitiator ? "20" : "8";
    auto began = steady_clock::now();
    Child responder = host(1, {"open", "2", "LAB7", limit});
    Child attacker = peer(2, c.attacker);
    ASSERT_TRUE(attacker.waitForOutput(c.attackerReady)) << attacker.output();
    if (c.genuineInitiator) {
        Child initiator = host(3, {"open", "1", "LAB7", "20"});
        EXPECT_EQ(initiator.wait(seconds(30)), 0);
        EXPECT_EQ(initiator.output(), "setlog 0\nopen 0\n");
    }
    EXPECT_EQ(responder.wait(seconds(30)), 0);
    EXPECT_EQ(responder.output(), std::string("setlog 0\n") + (c.genuineInitiator ? "verified ws3\n" : "") +
                                      "open " + std::to_string(c.responderResult) + "\n");
    if (!c.genuineInitiator) EXPECT_LE(secondsSince(began), 12) << "the limit holds";
}

const std::vector<std::string> attackerConnects{"connect", "192.168.10.2", "192.168.10.1"};

std::vector<std::string> connectThen(std::vector<std::string> steps) {
    steps.insert(steps.begin(), attackerConnects.begin(), attackerConnects.end());
    return steps;
}

INSTANTIATE_TEST_SUITE_P(
    Attackers, ResponderHandshake,
    testing::Values(
        ResponderCase{"HalfANameAlone", connectThen({"send", "HOS", "hold"}), "sent", false, 101},
        ResponderCase{"EndlessLineAlone", connectThen({"blast", "3", "hold"}), "blasted", false, 101},
        ResponderCase{"HalfANameThenTheInitiator", connectThen({"send", "HOS", "hold"}), "sent", true, 0},
        ResponderCase{"SilentThenTheInitiator", connectThen({"hold"}), "connected", true, 0},
        ResponderCase{
            "FloodThenTheInitiator", {"flood", "300", "192.168.10.2", "192.168.10.1", "hold"}, "flooded", true, 0},
        ResponderCase{"PortScanDuringPairing", {"scan", "12", "192.168.10.2", "192.168.10.1"}, "", true, 0}),
    [](const testing::TestParamInfo<ResponderCase>& info) { return std::string(info.param.name); });

// --- Data ---------------------------------------------------------------

class HostileData : public LanTest {
protected:
    void SetUp() override {
        start();
        pairDirectly();
    }
};

class PausingReceiver : public HostileData, public testing::WithParamInterface<const char*> {};

TEST_P(PausingReceiver, LargeBlockArrivesWhole) {
    Child receiver = host(1, {"pause-at", "16777216", "6", "drain", "1048576", "60"});
    Child sender = host(2, {"sendhash", "big", "x", "20", "67108864", GetParam()});
    ASSERT_EQ(sender.wait(seconds(60)), 0);
    ASSERT_EQ(receiver.wait(seconds(60)), 0);
    std::istringstream sent(sender.output()), received(receiver.output());
    std::string word, sentHash, receivedHash;
    int sendResult = -1, receiveResult = -1;
    long long receivedBytes = 0;
    sent >> word >> word >> word >> sendResult >> sentHash;
    received >> word >> word >> word >> receiveResult >> receivedBytes >> receivedHash;
    EXPECT_EQ(sendResult, 0) << sender.output();
    EXPECT_EQ(receiveResult, 0) << receiver.output();
    EXPECT_EQ(receivedBytes, 67108864);
    EXPECT_EQ(sentHash, receivedHash);
}

INSTANTIATE_TEST_SUITE_P(Limits, PausingReceiver, testing::Values("0", "30"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             return std::string("Limit") + info.param;
                         });

TEST_F(HostileData, TwoReceivingProcessesShareTheBlocksWithoutSpinning) {
    Child first = host(1, {"recvloop", "10", "25"});
    Child second = host(1, {"recvloop", "10", "25"});
    std::this_thread::sleep_for(milliseconds(500));
    Child sender = host(2, {"open", "1", "X", "5", "sendmany", "40", "1000", "30", "close"});
    EXPECT_EQ(sender.wait(seconds(120)), 0);
    EXPECT_EQ(sender.output(), "setlog 0\nopen 0\nsendmany 0 0\nclose 0\n");
    std::multiset<std::string> got;
    for (Child* receiver : {&first, &second}) {
        EXPECT_EQ(receiver->wait(seconds(60)), 0);
        std::istringstream lines(receiver->output());
        std::string line;
        while (std::getline(lines, line)) {
            if (line.rfind("got ", 0) == 0) got.insert(line.substr(4));
            if (line.rfind("recvloop calls=", 0) == 0) {
                EXPECT_LT(std::stoi(line.substr(15)), 200) << "a waiting receiver must not spin: " << line;
            }
        }
    }
    std::multiset<std::string> all;
    for (int i = 0; i < 40; ++i) all.insert("b" + std::to_string(i));
    EXPECT_EQ(got, all) << "every block exactly once\n" << first.output() << second.output();
}

TEST_F(HostileData, ANewProcessMeasuresItsLimitFromItsOwnStart) {
    Child initiator = peer(2, {"connect", "192.168.10.2", "192.168.10.1", "send", "put a|b|10|7\\r\\n", "expect",
                               "000 OK\\r\\n", "send", "0123456789", "hold"});
    Child holder = host(1, {"recv", "4", "30", "hold"});
    ASSERT_TRUE(holder.waitForOutput("holding")) << holder.output();
    EXPECT_EQ(holder.output(), "setlog 0\nrecv 0 4 7 a b\nholding\n");
    auto began = steady_clock::now();
    Child second = host(1, {"recv", "4", "3"});
    EXPECT_EQ(second.wait(seconds(20)), 0);
    EXPECT_EQ(second.output().substr(0, 18), "setlog 0\nrecv 101 ");
    EXPECT_GE(secondsSince(began), 3) << "waited for its own limit";
}

TEST_F(HostileData, SignalsNeverTurnIntoFailures) {
    Child receiver = host(1, {"signals", "recvloop", "10", "60"});
    Child sender = host(2, {"open", "1", "X", "5", "signals", "sendmany", "300", "100", "30", "close"});
    EXPECT_EQ(sender.wait(seconds(120)), 0);
    EXPECT_EQ(sender.output(), "setlog 0\nopen 0\nsignals\nsendmany 0 0\nclose 0\n");
    EXPECT_EQ(receiver.wait(seconds(30)), 0);
    const std::string out = receiver.output();
    size_t blocks = 0;
    for (size_t at = out.find("got "); at != std::string::npos; at = out.find("got ", at + 1)) ++blocks;
    EXPECT_EQ(blocks, 300u);
    EXPECT_NE(out.find("recvloop calls=301 0:300 23:1\n"), std::string::npos) << out;
    EXPECT_FALSE(logHas(log(2), "connect to data socket failed! Error: 10004"));
}

// The Initiator's workstation has 200 ports for connections, so that after a
// few blocks each new connection comes from a port whose earlier connection
// the Responder closed moments ago, and the receiving host pauses between
// calls, so that the request often arrives while nobody listens. The
// Responder then answers with an acknowledgement of the old connection, and
// the system would ask again only after a pause of its own: the Initiator
// asks again from another port instead.
TEST_F(HostileData, SingleBlocksFromRecentlyUsedPortsNeedNoRepeatedRequests) {
    ASSERT_EQ(lan->run(2, {"sysctl", "-qw", "net.ipv4.ip_local_port_range=40000 40199"}), 0);
    Child receiver = host(1, {"pace", "1000", "recvloop", "10", "60"});
    Child sender = host(2, {"open", "1", "X", "5", "sendmany", "100", "64", "30", "close"});
    EXPECT_EQ(sender.wait(seconds(60)), 0);
    EXPECT_EQ(sender.output(), "setlog 0\nopen 0\nsendmany 0 0\nclose 0\n");
    EXPECT_EQ(receiver.wait(seconds(30)), 0);
    EXPECT_NE(receiver.output().find("recvloop calls=101 0:100 23:1\n"), std::string::npos) << receiver.output();
    std::string counters;
    ASSERT_EQ(lan->run(2, {"nstat", "-az", "TcpExtTCPSynRetrans"}, {}, &counters), 0);
    std::istringstream line(counters.substr(counters.find("TcpExtTCPSynRetrans")));
    std::string name;
    int repeated = -1;
    line >> name >> repeated;
    EXPECT_LT(repeated, 10) << counters;
}

}  // namespace
}  // namespace dyadc::test
