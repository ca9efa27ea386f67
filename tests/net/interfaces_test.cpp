// The usable-interface list, in simulated workstations with the kinds of
// interfaces it must tell apart.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "rendezvous/interfaces.h"
#include "tests/support/fixtures.h"
#include "tests/support/results.h"

namespace dyadc {
namespace {

using test::Lan;
using test::LogCapture;

std::vector<std::string> usable() {
    SocketAddress table[interfaceTableSize];
    int32_t count = -1;
    EXPECT_EQ(listUsableInterfaces(invalidSocket, table, &count), 0);
    std::vector<std::string> addresses;
    for (int32_t i = 0; i < count; ++i) {
        EXPECT_EQ(table[i].family, platform::addressFamilyIpv4);
        EXPECT_EQ(table[i].port, 0);
        addresses.push_back(platform::dotted(table[i]).text);
    }
    return addresses;
}

TEST(Interfaces, TheMachinesOwnNetworkIsNeverUsed) {
    EXPECT_NONFATAL_FAILURE(EXPECT_FALSE(test::offTheMachineNetwork()), "refusing to touch the network");
}

TEST(Interfaces, LoopbackOnlyHostHasNone) {
    test::freshSession();
    Lan::Options options;
    options.hosts = 1;
    options.isolated = "1";
    Lan lan(options);
    ASSERT_TRUE(lan.ok());
    ASSERT_TRUE(lan.enter(1));
    LogCapture log;
    EXPECT_TRUE(usable().empty());
    EXPECT_TRUE(log.has("ipaddr: 127.0.0.1"));
    EXPECT_TRUE(log.has("is a loopback iface"));
}

TEST(Interfaces, DownPointToPointAndNonMulticastInterfacesAreLeftOut) {
    test::freshSession();
    Lan::Options options;
    options.hosts = 1;
    options.down = true;
    options.noMulticast = true;
    options.pointToPoint = true;
    options.secondSegment = true;
    Lan lan(options);
    ASSERT_TRUE(lan.ok());
    ASSERT_TRUE(lan.enter(1));
    LogCapture log;
    // In the platform's order: eth0 before eth1.
    EXPECT_EQ(usable(), (std::vector<std::string>{"192.168.10.1", "10.0.5.1"}));
    auto messages = log.messages();
    int down = log.find("ipaddr: 172.16.0.1");
    ASSERT_GE(down, 0);
    EXPECT_EQ(messages.at(static_cast<size_t>(down) + 2), "down");
    int pointToPoint = log.find("ipaddr: 172.18.0.1");
    ASSERT_GE(pointToPoint, 0);
    EXPECT_EQ(messages.at(static_cast<size_t>(pointToPoint) + 2), "up");
    EXPECT_EQ(messages.at(static_cast<size_t>(pointToPoint) + 3), "is point-to-point");
    EXPECT_EQ(messages.at(static_cast<size_t>(pointToPoint) + 4), "multicast capable");
    EXPECT_TRUE(log.has("raw data is 2"));
}

TEST(Interfaces, MaskSelectsByAddressPrefix) {
    test::freshSession();
    Lan::Options options;
    options.hosts = 1;
    options.secondSegment = true;
    Lan lan(options);
    ASSERT_TRUE(lan.ok());
    ASSERT_TRUE(lan.enter(1));
    SharedSession& s = sharedSession();
    s.useAddressMask = 1;
    std::strcpy(s.addressMask, "192.168.");
    EXPECT_EQ(usable(), std::vector<std::string>{"192.168.10.1"});
    std::strcpy(s.addressMask, "10.");
    {
        LogCapture log;
        EXPECT_EQ(usable(), std::vector<std::string>{"10.0.5.1"});
        // An excluded interface gives only its first two messages.
        auto messages = log.messages();
        int excluded = log.find("ipaddr: 192.168.10.1");
        ASSERT_GE(excluded, 0);
        EXPECT_EQ(messages.at(static_cast<size_t>(excluded) + 2), "ipaddr: 10.0.5.1");
    }
    std::strcpy(s.addressMask, "10.0.5.");
    EXPECT_EQ(usable(), std::vector<std::string>{"10.0.5.1"});
    std::strcpy(s.addressMask, "172.");
    EXPECT_TRUE(usable().empty());
    s.useAddressMask = 0;
    EXPECT_EQ(usable().size(), 2u);
}

TEST(Interfaces, MoreThanTwentyUsableKeepTheFirstTwenty) {
    test::freshSession();
    Lan::Options options;
    options.hosts = 1;
    options.extra = 22;
    Lan lan(options);
    ASSERT_TRUE(lan.ok());
    ASSERT_TRUE(lan.enter(1));
    auto addresses = usable();
    ASSERT_EQ(addresses.size(), 20u);
    EXPECT_EQ(addresses[0], "192.168.10.1");
    EXPECT_EQ(addresses[19], "172.20.18.1");
}

TEST(Interfaces, SelectionRulesOverRecords) {
    test::freshSession();
    auto record = [](uint32_t flags, const char* address) {
        platform::InterfaceRecord r{};
        r.flags = flags;
        test::setAddress(r.address, address, 0);
        return r;
    };
    using namespace platform;
    const InterfaceRecord records[] = {
        record(interfaceUp | interfaceMulticast, "10.1.2.30"),  // no broadcast: still usable
        record(interfaceUp | interfaceBroadcast, "10.1.2.31"),  // no multicast
        record(interfaceUp | interfaceMulticast | interfaceLoopback, "127.0.0.1"),
        record(interfaceUp | interfaceMulticast | interfacePointToPoint, "10.1.2.32"),
        record(interfaceMulticast | interfaceBroadcast, "10.1.2.33"),  // down
        record(interfaceUp | interfaceMulticast | interfaceBroadcast, "10.1.2.3"),
    };
    SocketAddress table[interfaceTableSize];
    EXPECT_EQ(selectUsableInterfaces(records, 6, table), 2);
    EXPECT_STREQ(dotted(table[0]).text, "10.1.2.30");
    EXPECT_STREQ(dotted(table[1]).text, "10.1.2.3");

    // A full address as the mask also selects longer addresses that begin with it.
    SharedSession& s = sharedSession();
    s.useAddressMask = 1;
    std::strcpy(s.addressMask, "10.1.2.3");
    EXPECT_EQ(selectUsableInterfaces(records, 6, table), 2);
    std::strcpy(s.addressMask, "10.1.2.30");
    EXPECT_EQ(selectUsableInterfaces(records, 6, table), 1);
    EXPECT_TRUE(addressMatchesMask("10.1.2.30", "10.1.2.3"));
    EXPECT_FALSE(addressMatchesMask("10.1.2", "10.1.2.3")) << "a shorter address does not begin with it";
    EXPECT_TRUE(addressMatchesMask("ABC", "abc"));
    s.useAddressMask = 0;
}

}  // namespace
}  // namespace dyadc
