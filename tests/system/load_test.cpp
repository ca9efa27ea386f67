// Loading and unloading the real libdyadc.so in several processes of one
// simulated workstation: the shared Session's lifetime, the per-process
// settings, DYADDEBUG and the version text.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

#include "tests/support/lan.h"

namespace dyadc::test {
namespace {

class Load : public testing::Test {
protected:
    void SetUp() override {
        Lan::Options options;
        options.hosts = 1;
        options.isolated = "1";  // no network needed
        lan = std::make_unique<Lan>(options);
        ASSERT_TRUE(lan->ok());
        ws = &lan->host(1);
        // The installed library of the workstation.
        writeFile(ws->system() + "/libdyadc.so", readFile(libraryPath()));
    }

    std::string probe(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> argv{helperPath("test-probe"), ws->session};
        argv.insert(argv.end(), extra.begin(), extra.end());
        std::string output;
        EXPECT_EQ(lan->run(1, argv, {}, &output), 0) << output;
        return output;
    }

    Child holder(const std::vector<std::string>& environment = {}) {
        Child child = lan->spawn(1, {helperPath("test-host"), "hold"}, environment);
        EXPECT_TRUE(child.waitForOutput("holding"));
        return child;
    }

    std::unique_ptr<Lan> lan;
    const Workstation* ws = nullptr;
};

TEST_F(Load, SharedSessionLivesWhileAnyProcessHoldsTheLibrary) {
    EXPECT_EQ(probe(), "absent\n");
    Child first = holder();
    std::string initial = probe();
    EXPECT_NE(initial.find("openCount 0\n"), std::string::npos) << initial;
    EXPECT_NE(initial.find("linkDown 1\n"), std::string::npos);
    EXPECT_NE(initial.find("pairingId  \n"), std::string::npos);
    EXPECT_NE(initial.find("dataSocket -1\n"), std::string::npos);

    // What the first process's pairing wrote is what a second process sees.
    probe({"set", "openCount", "5"});
    probe({"set", "paired", "1"});
    Child second = holder();
    std::string seen = probe();
    EXPECT_NE(seen.find("openCount 5\n"), std::string::npos) << seen;
    EXPECT_NE(seen.find("paired 1\n"), std::string::npos);

    first.closeInput();
    EXPECT_EQ(first.wait(), 0);
    EXPECT_NE(probe().find("openCount 5\n"), std::string::npos) << "the second process still holds it";
    second.closeInput();
    EXPECT_EQ(second.wait(), 0);
    EXPECT_EQ(probe(), "absent\n") << "the last unload discards it";
    EXPECT_FALSE(fileExists("/dev/shm/" + ws->session + ".lock")) << "and its lock object";

    Child third = holder();
    EXPECT_NE(probe().find("openCount 0\n"), std::string::npos) << "the next load starts afresh";
}

TEST_F(Load, AKilledHolderDoesNotStopTheNextFirstLoadFromStartingAfresh) {
    Child first = holder();
    Child second = holder();
    probe({"set", "paired", "1"});
    first.kill(SIGKILL);
    first.wait();
    EXPECT_NE(probe().find("paired 1\n"), std::string::npos) << "the other holder keeps it";
    second.kill(SIGKILL);
    second.wait();
    // Nobody holds it now, but nobody discarded it either.
    EXPECT_NE(probe().find("paired 1\n"), std::string::npos);
    Child next = holder();
    EXPECT_NE(probe().find("paired 0\n"), std::string::npos);
}

TEST_F(Load, DebugVariableForcesTheLogWhateverItsValue) {
    const std::string log = ws->defaultLog();
    std::string oldLines;
    for (int i = 0; i < 3000; ++i) oldLines += "old line " + std::string(89, 'o') + "\r\n";  // 100 bytes each
    for (const std::string value : {"", "0", "1"}) {
        // The host's own setting is ignored: the log stays at level 2 in the
        // default file with the limit 250000, so the old log is trimmed at exit.
        writeFile(log, oldLines);
        std::string output;
        EXPECT_EQ(lan->run(1, {helperPath("test-host"), "setlog", "/tmp/other.log", "0", "0"},
                           {"DYADDEBUG=" + value}, &output),
                  0)
            << output;
        auto lines = logMessages(log);
        ASSERT_GE(lines.size(), 2u) << value;
        EXPECT_EQ(lines[lines.size() - 2], "system dll " + ws->system() + "/libdyadc.so");
        EXPECT_EQ(lines[lines.size() - 1], "DYADC running version 2.04");
        EXPECT_EQ(lines[0], "old line " + std::string(89, 'o')) << "the trim keeps whole lines";
        size_t size = readFile(log).size();
        EXPECT_GE(size, 250000u - 2);
        EXPECT_LE(size, 250000u + 100);
        EXPECT_FALSE(fileExists(ws->tmp() + "/other.log"));
    }

    unlink(log.c_str());
    std::string output;
    EXPECT_EQ(lan->run(1, {helperPath("test-host"), "sleep", "0"}, {"-DYADDEBUG"}, &output), 0);
    EXPECT_FALSE(fileExists(log)) << "without the variable loading writes nothing";
}

TEST_F(Load, EachProcessStartsWithItsOwnLogSettings) {
    // A process with the forced log holds the library; a second process without
    // it still controls its own log: its limit trims its log at exit.
    Child forced = holder({"DYADDEBUG=1"});
    writeFile(ws->tmp() + "/mine.log", "aaaa\r\nbbbb\r\n");
    std::string output;
    EXPECT_EQ(lan->run(1, {helperPath("test-host"), "setlog", "/tmp/mine.log", "6", "1"}, {"-DYADDEBUG"}, &output),
              0);
    EXPECT_EQ(readFile(ws->tmp() + "/mine.log"), "bbbb\r\n");
}

TEST_F(Load, VersionComesFromTheInstalledFile) {
    auto install = [&](uint32_t major, uint32_t minor) {
        writeFile(ws->system() + "/libdyadc.so", libraryWithVersion(major, minor));
    };
    auto loadedVersion = [&]() {
        unlink(ws->defaultLog().c_str());
        EXPECT_EQ(lan->run(1, {helperPath("test-host")}, {"DYADDEBUG=1"}), 0);
        auto lines = logMessages(ws->defaultLog());
        return lines.size() >= 2 ? lines[1] : std::string("(no log)");
    };
    install(3, 0);
    EXPECT_EQ(loadedVersion(), "DYADC running version 3.00");
    install(2, 10);
    EXPECT_EQ(loadedVersion(), "DYADC running version 2.10");
    writeFile(ws->system() + "/libdyadc.so", "not a library");
    EXPECT_EQ(loadedVersion(), "DYADC running version ");
}

TEST_F(Load, UnusableWorkstationNamesAndLayoutsLeaveTheProcessOnItsOwn) {
    for (const std::string name :
         {std::string("bad/name"), std::string("../up"), std::string("with space"), std::string(41, 'n')}) {
        unlink(ws->defaultLog().c_str());
        std::string output;
        EXPECT_EQ(lan->run(1, {helperPath("test-host"), "setlog", "/tmp/x.log", "0", "2"},
                           {"DYADC_SESSION=" + name, "DYADDEBUG=1"}, &output),
                  0)
            << output;
        EXPECT_TRUE(logHas(ws->defaultLog(),
                           "Warning: DYADC_SESSION is not a usable workstation name; "
                           "this process keeps its Session to itself"))
            << name;
        EXPECT_FALSE(fileExists(ws->tmp() + "/x.log")) << "the forced log still wins";
    }

    // Another build's memory, still held by a process of that build.
    Child other = holder();
    EXPECT_EQ(probe({"break-layout"}), "broken\n");
    unlink(ws->defaultLog().c_str());
    EXPECT_EQ(lan->run(1, {helperPath("test-host")}, {"DYADDEBUG=1"}), 0);
    EXPECT_TRUE(logHas(ws->defaultLog(), "Warning: workstation " + ws->session +
                                             " is held by a build with another Session layout; "
                                             "this process keeps its Session to itself"));
    other.closeInput();
    EXPECT_EQ(other.wait(), 0);

    // Left behind by a crashed process of another build, with nobody holding
    // it: the next load starts afresh.
    writeFile("/dev/shm/" + ws->session, std::string(77, '\xee'));
    Child fresh = holder();
    EXPECT_NE(probe().find("linkDown 1\n"), std::string::npos);
}

TEST_F(Load, AForkedChildThatOutlivesItsParentHoldsNothing) {
    Child attached = holder();
    const auto began = std::chrono::steady_clock::now();
    std::string output;
    EXPECT_EQ(lan->run(1, {helperPath("test-host"), "fork-sleep", "20"}, {}, &output), 0) << output;
    EXPECT_EQ(lan->run(1, {helperPath("test-host"), "sleep", "0"}), 0) << "a new process loads and unloads";
    attached.closeInput();
    EXPECT_EQ(attached.wait(std::chrono::seconds(30)), 0) << "a process attached before the fork unloads";
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(8)) << "nobody waited for the child";
    EXPECT_EQ(probe(), "absent\n") << "the child, which never called the library, keeps nothing alive";
}

}  // namespace
}  // namespace dyadc::test
