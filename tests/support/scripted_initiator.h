// A GoogleTest fixture for in-process tests of the Responder's side:
// workstation 1 runs the library in this process on 192.168.10.1, and
// workstation 2's scripted Initiator (test-peer "connect") runs the steps that
// script() gives it, and must have ended well when the test ends.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "session/session.h"
#include "tests/support/fixtures.h"

namespace dyadc::test {

class ScriptedInitiatorTest : public testing::Test {
protected:
    void SetUp() override {
        freshSession();
        lan = std::make_unique<Lan>();
        ASSERT_TRUE(lan->ok());
        ASSERT_TRUE(lan->enter(1));
        setAddress(sharedSession().localAddress, "192.168.10.1", 8181);
        setAddress(sharedSession().peerAddress, "192.168.10.2", 0);
    }
    void TearDown() override {
        if (peer.pid() > 0) {
            peer.closeInput();
            EXPECT_EQ(peer.wait(std::chrono::seconds(30)), 0) << peer.output();
        }
    }
    // Starts the scripted Initiator: it connects, then runs `steps`.
    void script(const std::vector<std::string>& steps) {
        std::vector<std::string> argv{helperPath("test-peer"), "connect", "192.168.10.2", "192.168.10.1"};
        argv.insert(argv.end(), steps.begin(), steps.end());
        peer = lan->spawn(2, argv);
    }

    std::unique_ptr<Lan> lan;
    Child peer;
};

}  // namespace dyadc::test
