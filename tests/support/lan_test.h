// A GoogleTest fixture for tests whose processes run in simulated
// workstations: the LAN, the installed library of each workstation, test-host
// processes with a detail log, and the Session fields as the probe shows them.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/lan.h"

namespace dyadc::test {

class LanTest : public testing::Test {
protected:
    // Makes the LAN; every workstation gets the built library, version 2.04.
    void start(Lan::Options options = {}) {
        lan = std::make_unique<Lan>(options);
        ASSERT_TRUE(lan->ok());
        for (int h = 1; h <= options.hosts; ++h) installLibrary(h, 2, 4);
    }
    // The workstation's installed library: a copy of the build whose version
    // record says major.minor, followed by `padding` bytes.
    void installLibrary(int host, uint32_t major, uint32_t minor, size_t padding = 0) {
        writeFile(lan->host(host).system() + "/libdyadc.so", libraryWithVersion(major, minor, padding));
    }
    // test-host in workstation `h`, logging every line to /tmp/test.log there.
    Child host(int h, std::vector<std::string> steps) {
        steps.insert(steps.begin(), {helperPath("test-host"), "setlog", "/tmp/test.log", "100000000", "2"});
        return lan->spawn(h, steps);
    }
    Child peer(int h, std::vector<std::string> steps) {
        steps.insert(steps.begin(), helperPath("test-peer"));
        return lan->spawn(h, steps);
    }
    // Pairs workstation 1 (Responder) and 2 (Initiator) the way the rendezvous
    // leaves a pairing, without one; holders keep both Sessions meanwhile.
    // No process has opened the pairing: one that is to close it opens first.
    void pairDirectly() {
        for (int h = 1; h <= 2; ++h) {
            holders[h - 1] = lan->spawn(h, {helperPath("test-host"), "hold"});
            ASSERT_TRUE(holders[h - 1].waitForOutput("holding"));
        }
        const char* roles[] = {"responder", "initiator"};
        const char* addresses[] = {"192.168.10.1", "192.168.10.2"};
        for (int h = 1; h <= 2; ++h) {
            std::string output;
            ASSERT_EQ(lan->run(h,
                               {helperPath("test-probe"), lan->host(h).session, "pair", roles[h - 1],
                                addresses[h - 1], addresses[2 - h]},
                               {}, &output),
                      0)
                << output;
        }
    }
    std::string log(int h) { return lan->host(h).tmp() + "/test.log"; }
    // Waits until workstation h's test log holds `message` (for example an
    // Initiator's "Selecting...", once it listens for announces).
    bool waitForLog(int h, const std::string& message, std::chrono::seconds limit = std::chrono::seconds(20)) {
        return test::waitForLog(log(h), message, limit);
    }
    std::string field(int h, const std::string& name) { return probeField(*lan, h, name); }
    static bool outputHas(Child& child, const std::string& text) {
        return child.output().find(text) != std::string::npos;
    }

    std::unique_ptr<Lan> lan;
    Child holders[2];
};

}  // namespace dyadc::test
