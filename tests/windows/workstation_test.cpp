// dyadc.dll in simulated workstations: Windows host programs under wine, each
// workstation with its own prefix and wineserver, paired with each other and
// with Linux host programs that load libdyadc.so; 64-bit programs, and 32-bit
// ones when this build names a 32-bit Windows build.
#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "dyadc.h"
#include "tests/support/lan.h"
#ifdef DYADC_TEST_DYAD
#include "tools/seal/seal.h"
#endif
#include "tests/support/scripted_sender.h"
#include "tests/windows/wine.h"

namespace dyadc::test {
namespace {

using namespace std::chrono;

// The kinds of Windows programs that this build tests.
const std::vector<Windows> testedKinds{
    Windows::x64,
#ifdef DYADC_TEST_WINDOWS_X86_BUILD
    Windows::x86,
#endif
};

class WindowsWorkstations : public testing::Test {
protected:
    // A LAN whose workstations in `windows` run Windows programs (32-bit ones
    // in those of `x86`); the others run Linux ones with libdyadc.so 2.04
    // installed.
    void start(const std::set<int>& windows, const Lan::Options& options = {}, const std::set<int>& x86 = {}) {
        stations.clear();
        lan = std::make_unique<Lan>(options);
        hosts = options.hosts;
        ASSERT_TRUE(lan->ok());
        for (int h = 1; h <= options.hosts; ++h) {
            if (windows.count(h) == 0) {
                writeFile(lan->host(h).system() + "/libdyadc.so", libraryWithVersion(2, 4));
                continue;
            }
            stations[h] = std::make_unique<WineStation>(*lan, h, x86.count(h) != 0 ? Windows::x86 : Windows::x64);
            ASSERT_TRUE(stations[h]->ok());
        }
    }
    // A failed test shows the end of every workstation's log.
    void TearDown() override {
        for (int h = 1; HasFailure() && lan != nullptr && h <= hosts; ++h) {
            const std::string text = readFile(log(h));
            if (text.empty()) continue;  // no log (dyad writes none unless asked)
            size_t at = text.size();
            for (int lines = 0; lines <= 40 && at != std::string::npos && at > 0; ++lines) {
                at = text.rfind('\n', at - 1);
            }
            std::cerr << "---- the end of workstation " << h << "'s log\n"
                      << text.substr(at == std::string::npos ? 0 : at + 1);
        }
        stations.clear();
    }

    bool isWindows(int h) const { return stations.count(h) != 0; }
    WineStation& station(int h) { return *stations.at(h); }
    // test-host with the steps, logging every line into its workstation's test.log.
    Child host(int h, std::vector<std::string> steps, const std::vector<std::string>& environment = {}) {
        if (isWindows(h)) {
            steps.insert(steps.begin(),
                         {station(h).program("test-host"), "setlog", "C:\\test.log", "100000000", "2"});
            return station(h).spawn(steps, environment);
        }
        steps.insert(steps.begin(), {helperPath("test-host"), "setlog", "/tmp/test.log", "100000000", "2"});
        return lan->spawn(h, steps, environment);
    }
    std::string log(int h) {
        return isWindows(h) ? station(h).driveC() + "/test.log" : lan->host(h).tmp() + "/test.log";
    }
#ifdef DYADC_TEST_DYAD
    // dyad in workstation h: dyad.exe under wine, with a UTF-8 locale so that
    // non-ASCII arguments and names reach it intact, started in `directory`
    // (a Unix path) when given; or the Linux dyad.
    Child dyad(int h, std::vector<std::string> arguments, const std::string& directory = "") {
        if (isWindows(h)) {
            arguments.insert(arguments.begin(), station(h).program("dyad"));
            return station(h).spawn(arguments, {"LANG=C.UTF-8"}, directory);
        }
        arguments.insert(arguments.begin(), DYADC_TEST_DYAD);
        return lan->spawn(h, arguments);
    }
#endif
    // The computer name that the other side's verify callback sees.
    std::string computerName(int h) {
        std::string name = lan->host(h).hostname;
        if (isWindows(h)) {
            for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        return name;
    }

    std::unique_ptr<Lan> lan;
    int hosts = 0;
    std::map<int, std::unique_ptr<WineStation>> stations;
};

// A program's output with Linux line ends (Windows programs write CR LF).
std::string text(const Child& child) {
    std::string output = child.output();
    for (size_t at = output.find("\r\n"); at != std::string::npos; at = output.find("\r\n", at))
        output.erase(at, 1);
    return output;
}

// The "<step> <result> <bytes> <hash>" line of a stream or drain step.
std::string transferLine(const std::string& output, const std::string& step) {
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind(step + " ", 0) == 0) return line.substr(step.size() + 1);
    }
    return "(missing)";
}

TEST_F(WindowsWorkstations, PairMovesBlocksBothWaysAndTheLastCloseOfTwoProcessesEndsIt) {
    // The Initiator's workstation runs programs of each kind in turn; the
    // Responder's 64-bit ones.
    for (const Windows kind : testedKinds) {
        SCOPED_TRACE(kind == Windows::x86 ? "32-bit Initiator" : "64-bit Initiator");
        start({1, 2}, {}, kind == Windows::x86 ? std::set<int>{2} : std::set<int>{});
        Child responder = host(1, {"open", "2", "LAB7", "30", "recv", "1024", "30", "send", "r", "s", "7", "50",
                                   "20", "drain", "1000", "60", "recv", "1024", "60"});
        Child initiator = host(2, {"open", "1", "LAB7", "30", "send", "a", "b", "21", "100", "20", "recv", "1024",
                                   "30", "stream", "3000000", "60", "wait", "close"});
        ASSERT_TRUE(initiator.waitForOutput("stream ", seconds(90))) << text(initiator);
        ASSERT_TRUE(responder.waitForOutput("drain ", seconds(30))) << text(responder);
        const std::string streamed = transferLine(text(initiator), "stream");
        EXPECT_EQ(streamed.substr(0, 10), "0 3000000 ");
        EXPECT_EQ(transferLine(text(responder), "drain"), streamed) << "every byte, in order, through 1000 bytes";
        EXPECT_EQ(text(initiator), "setlog 0\nopen 0\nsend 0\nrecv 0 50 7 r s\nstream " + streamed + "\n");

        // A second process of the Initiator's workstation finds the pairing
        // made and counts one more open; the first close then keeps the
        // pairing.
        Child second = station(2).spawn({station(2).program("test-host"), "setlog", "C:\\second.log", "100000",
                                         "2", "open", "1", "X", "1", "hold", "close"});
        ASSERT_TRUE(second.waitForOutput("holding")) << text(second);
        EXPECT_EQ(text(second), "setlog 0\nopen 0\nholding\n") << "the open returned 0 without a rendezvous";
        initiator.writeInput("\n");
        EXPECT_EQ(initiator.wait(), 0);
        EXPECT_TRUE(logHas(log(2), "DLL still active, not closing socket"));
        // The last close, in the process that did not pair, ends the pairing.
        second.closeInput();
        EXPECT_EQ(second.wait(), 0);
        EXPECT_EQ(text(second), "setlog 0\nopen 0\nholding\nreleased\nclose 0\n");
        EXPECT_EQ(responder.wait(), 0);
        EXPECT_EQ(text(responder), "setlog 0\nverified WS2\nopen 0\nrecv 0 100 21 a b\nsend 0\ndrain " + streamed +
                                       "\nrecv 23 -1 -1  \n");
        stations.clear();
    }
}

TEST_F(WindowsWorkstations, RefusedNameGives103OnBothSides) {
    start({1, 2});
    Child responder = host(1, {"verify", "refuse", "5", "open", "2", "LAB7", "30"});
    Child initiator = host(2, {"open", "1", "LAB7", "30"});
    EXPECT_EQ(responder.wait(), 0);
    EXPECT_EQ(initiator.wait(), 0);
    EXPECT_EQ(text(responder), "setlog 0\nverified WS2\nopen 103\n");
    EXPECT_EQ(text(initiator), "setlog 0\nopen 103\n");
    EXPECT_TRUE(logHas(log(2), "001 CANCEL"));
}

TEST_F(WindowsWorkstations, WindowsAndLinuxPairAndMoveBlocksByteExactInBothDirections) {
    for (const Windows kind : testedKinds) {
        for (const int windowsHost : {1, 2}) {
            SCOPED_TRACE(
                std::string(kind == Windows::x86 ? "32-bit " : "64-bit ") +
                (windowsHost == 1 ? "Windows Responder, Linux Initiator" : "Linux Responder, Windows Initiator"));
            start({windowsHost}, {}, kind == Windows::x86 ? std::set<int>{windowsHost} : std::set<int>{});
            Child responder = host(1, {"open", "2", "LAB7", "30", "drain", "4096", "60", "recv", "1024", "30"});
            Child initiator = host(2, {"open", "1", "LAB7", "30", "stream", "5000000", "60", "close"});
            EXPECT_EQ(initiator.wait(seconds(90)), 0);
            EXPECT_EQ(responder.wait(seconds(30)), 0);
            const std::string streamed = transferLine(text(initiator), "stream");
            EXPECT_EQ(streamed.substr(0, 10), "0 5000000 ");
            EXPECT_EQ(text(initiator), "setlog 0\nopen 0\nstream " + streamed + "\nclose 0\n");
            EXPECT_EQ(text(responder), "setlog 0\nverified " + computerName(2) + "\nopen 0\ndrain " + streamed +
                                           "\nrecv 23 -1 -1  \n");
            EXPECT_TRUE(logHas(log(1), "comparing dll version 2.04 with version 2.04 from source"));
            stations.clear();
        }
    }
}

TEST_F(WindowsWorkstations, NewerInitiatorLibraryTravelsToTheResponder) {
    start({1, 2});
    writeFile(station(2).systemDirectory() + "/dyadc.dll", windowsLibraryWithVersion(2, 5));
    // Each rendezvous of the Responder finds the Initiator newer: its own
    // installed library stays as it was.
    Child responder = host(1, {"open", "2", "LAB7", "60", "open", "2", "LAB7", "60"});
    Child initiator = host(2, {"open", "1", "LAB7", "60"});
    // Two opens of up to 60 seconds each.
    EXPECT_EQ(responder.wait(seconds(150)), 0);
    EXPECT_EQ(initiator.wait(seconds(150)), 0);
    EXPECT_EQ(text(responder), "setlog 0\nverified WS2\nopen 24\nverified WS2\nopen 24\n");
    EXPECT_EQ(text(initiator), "setlog 0\nopen 24\n") << "the second attempt's result";
    const std::string sent = readFile(station(2).systemDirectory() + "/dyadc.dll");
    const std::string stored = readFile(station(1).systemDirectory() + "/dyadc.dl_");
    EXPECT_EQ(stored.size(), sent.size());
    EXPECT_TRUE(stored == sent) << "byte for byte";
    EXPECT_EQ(readFile(station(1).systemDirectory() + "/dyadc.dll"), readFile(windowsLibrary()));
    EXPECT_TRUE(logHas(log(1), "comparing dll version 2.04 with version 2.05 from source"));
    EXPECT_TRUE(logHas(log(2), "Reply to dll version 24"));
}

TEST_F(WindowsWorkstations, UpdateOfAnotherSystemIsRemovedAndTheSameVersionPairs) {
    // A newer Initiator of another system or kind sends its library; the
    // Responder removes it and pairs when the Initiator comes again.
    struct Case {
        const char* what;
        std::set<int> windows, x86;
        const char* why;
    };
    std::vector<Case> cases{
        {"Linux 2.05 to 64-bit Windows 2.04", {1}, {}, "not a Windows program or DLL"},
        {"64-bit Windows 2.05 to Linux 2.04", {2}, {}, "not an ELF file"},
    };
    if (testedKinds.size() > 1) {
        cases.push_back(
            {"64-bit Windows 2.05 to 32-bit Windows 2.04", {1, 2}, {1}, "a Windows file for another machine"});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        start(c.windows, {}, c.x86);
        if (isWindows(2)) {
            writeFile(station(2).systemDirectory() + "/dyadc.dll",
                      windowsLibraryWithVersion(2, 5, station(2).kind()));
        } else {
            writeFile(lan->host(2).system() + "/libdyadc.so", libraryWithVersion(2, 5));
        }
        Child responder = host(1, {"open", "2", "LAB7", "60"});
        Child initiator = host(2, {"open", "1", "LAB7", "60"});
        EXPECT_EQ(responder.wait(seconds(150)), 0);
        EXPECT_EQ(initiator.wait(seconds(30)), 0);
        const std::string name = computerName(2);
        EXPECT_EQ(text(responder), "setlog 0\nverified " + name + "\nverified " + name + "\nopen 0\n");
        EXPECT_EQ(text(initiator), "setlog 0\nopen 0\n") << "the attempt after the update pairs";
        const std::string stored = isWindows(1) ? station(1).systemDirectory() + "/dyadc.dl_"
                                                : lan->host(1).system() + "/dyadc.dl_";
        EXPECT_FALSE(fileExists(stored));
        EXPECT_TRUE(logHas(log(1), std::string("Error:  The update is no library for this system (") + c.why +
                                       ").  Removed " +
                                       (isWindows(1) ? "C:\\windows\\system32\\dyadc.dl_" : stored)));
        EXPECT_TRUE(logHas(log(2), "Reply to dll version 24"));
        EXPECT_TRUE(logHas(log(2), "Reply to dll version 0")) << "the second attempt";
        stations.clear();
    }
}

TEST_F(WindowsWorkstations, DebugVariableForcesTheLogIntoDriveC) {
    Lan::Options one;
    one.hosts = 1;
    start({1}, one);
    const std::string forced = station(1).driveC() + "/dyadc.log";
    struct Case {
        const char* program;
        bool installed;
        const char* version;
    } cases[] = {
        {"test-host", true, "2.04"},
        // Loaded from the program's folder, with none in the system directory.
        {"C:\\app\\test-host.exe", false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.program);
        std::filesystem::remove(forced);
        if (!c.installed) {
            std::filesystem::create_directories(station(1).driveC() + "/app");
            writeFile(station(1).driveC() + "/app/test-host.exe", readFile(windowsProgram("test-host")));
            writeFile(station(1).driveC() + "/app/dyadc.dll", readFile(windowsLibrary()));
            std::filesystem::remove(station(1).systemDirectory() + "/dyadc.dll");
        }
        const std::string program = c.installed ? windowsProgram(c.program) : c.program;
        Child child = station(1).spawn({program, "setlog", "C:\\elsewhere.log", "0", "2"}, {"DYADDEBUG=1"});
        EXPECT_EQ(child.wait(), 0);
        EXPECT_EQ(text(child), "setlog 0\n");
        EXPECT_FALSE(fileExists(station(1).driveC() + "/elsewhere.log")) << "DyadSetLog changes nothing";
        const std::string text = readFile(forced);
        auto count = [&text](const std::string& what) {
            size_t found = 0;
            for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++found;
            return found;
        };
        EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
        EXPECT_EQ(count("\n"), count("\r\n")) << "every line ends with CR LF";
        const std::vector<std::string> messages = logMessages(forced);
        ASSERT_GE(messages.size(), 2u);
        EXPECT_EQ(messages[0], "system dll C:\\windows\\system32\\dyadc.dll");
        EXPECT_EQ(messages[1], std::string("DYADC running version ") + c.version);
    }
}

TEST_F(WindowsWorkstations, HostileUpdateNamesAreNeverStored) {
    start({1});
    for (const std::string name : {"../escaped", "evil.dll", "KERNEL32.DLL", "DYADC.DL_"}) {
        SCOPED_TRACE(name);
        Child responder = host(1, {"open", "2", "LAB7", "30"});
        // A newer "library" whose first block names another file.
        const std::vector<std::string> handshake{"connect",    "192.168.10.2", "192.168.10.1",  "send",
                                                 "evil\\r\\n", "expect",       "000 OK\\r\\n",  "send",
                                                 "9.99\\r\\n", "expect",       "24 UPDT\\r\\n", "eof"};
        const std::string put = "put " + name + "|c:\\\\placeholder|4|21\\r\\n";
        // Refused at its header: no go-ahead, the connection closed.
        const std::vector<std::string> block{"connect", "192.168.10.2", "192.168.10.1", "send", put, "eof"};
        std::vector<std::string> steps{helperPath("test-peer")};
        steps.insert(steps.end(), handshake.begin(), handshake.end());
        steps.insert(steps.end(), block.begin(), block.end());
        Child peer = lan->spawn(2, steps);
        EXPECT_EQ(responder.wait(), 0);
        EXPECT_EQ(text(responder), "setlog 0\nverified evil\nopen 100\n");
        EXPECT_EQ(peer.wait(), 0) << text(peer);
        EXPECT_TRUE(logHas(log(1), "Error:  Refused to store the update under the name " + name));
    }
    EXPECT_FALSE(fileExists(station(1).driveC() + "/windows/escaped"));
    EXPECT_FALSE(fileExists(station(1).systemDirectory() + "/evil.dll"));
    EXPECT_FALSE(fileExists(station(1).systemDirectory() + "/dyadc.dl_"));
    EXPECT_EQ(readFile(station(1).systemDirectory() + "/kernel32.dll").substr(0, 2), "MZ") << "untouched";
}

TEST_F(WindowsWorkstations, HostileResponderEndsTheInitiatorsOpen) {
    start({2});
    // A reply of 5000 bytes without a line end, then a reset.
    Child responder = lan->spawn(
        1, {helperPath("test-peer"), "listen", "192.168.10.1", "announce", "LAB7", "192.168.10.1", "2", "accept",
            "line", "send", std::string(5000, 'x'), "reset"});
    Child initiator = host(2, {"open", "1", "LAB7", "30"});
    EXPECT_EQ(initiator.wait(), 0);
    EXPECT_EQ(text(initiator), "setlog 0\nopen 100\n");
    EXPECT_EQ(responder.wait(), 0) << text(responder);
    EXPECT_TRUE(logHas(log(2), "Error:  A tcp error occured while waiting for target verification"));
}

#ifdef DYADC_TEST_WINDOWS_X86_BUILD
TEST_F(WindowsWorkstations, MicrosoftStyleHostOf32BitWindowsPairsWithLinuxAndWith64BitWindows) {
    // Built with clang in Microsoft's mode and lld-link against the archive's
    // 32-bit dyadc.lib: it calls the library through __stdcall and hands it
    // callbacks of that convention.
    const std::string msvcHost = windowsProgram("msvc-host", Windows::x86);
    {
        SCOPED_TRACE("32-bit Responder, Linux Initiator");
        start({1}, {}, {1});
        Child responder = station(1).spawn({msvcHost, "receive", "LAB7"});
        Child initiator = host(2, {"open", "1", "LAB7", "60", "sendhash", "a", "b", "7", "100000", "60", "close"});
        EXPECT_EQ(initiator.wait(seconds(90)), 0);
        EXPECT_EQ(responder.wait(seconds(30)), 0) << text(responder);
        const std::string sent = transferLine(text(initiator), "sendhash");
        EXPECT_EQ(sent.substr(0, 2), "0 ");
        EXPECT_EQ(text(responder), "verified " + computerName(2) + "\nopen 0\nreceived 100000 " + sent.substr(2) +
                                       "\nrecv 23\nprogress 100000\nclose 0\n");
        stations.clear();
    }
    {
        SCOPED_TRACE("64-bit Windows Responder, 32-bit Initiator");
        start({1, 2}, {}, {2});
        Child responder = host(1, {"open", "2", "LAB7", "60", "drain", "4096", "60", "recv", "1024", "60"});
        Child initiator = station(2).spawn({msvcHost, "send", "LAB7", "100000"});
        EXPECT_EQ(initiator.wait(seconds(90)), 0) << text(initiator);
        EXPECT_EQ(responder.wait(seconds(30)), 0);
        const std::string drained = transferLine(text(responder), "drain");
        EXPECT_EQ(drained.substr(0, 9), "0 100000 ");
        EXPECT_EQ(text(initiator), "open 0\nsend 0 " + drained.substr(9) + "\nprogress 100000\nclose 0\n");
        EXPECT_EQ(text(responder), "setlog 0\nverified WS2\nopen 0\ndrain " + drained + "\nrecv 23 -1 -1  \n");
        stations.clear();
    }
}
#endif

#ifdef DYADC_TEST_DYAD
TEST_F(WindowsWorkstations, DyadCommandMovesFilesBetweenWindowsAndLinuxUnderEitherChecksum) {
    // A name beyond ASCII travels as UTF-8 and is stored as it was sent. The
    // receiver hashes the first file with XXH3-128 as it comes: under SHA-256
    // it reads that file back, and hashes the second as it comes.
    const std::string names[] = {"café-ü.bin", "second.bin"};
    struct Case {
        std::set<int> windows;
        const char* checksum;
        const char* verified;
        std::set<int> x86;  // of `windows`, those with 32-bit programs
    };
    std::vector<Case> cases{
        {{1}, "xxh128", "XXH3-128 verified", {}},    {{1}, "sha256", "SHA-256 verified", {}},
        {{2}, "xxh128", "XXH3-128 verified", {}},    {{2}, "sha256", "SHA-256 verified", {}},
        {{1, 2}, "xxh128", "XXH3-128 verified", {}},
    };
    if (testedKinds.size() > 1) {
        cases.push_back({{1}, "sha256", "SHA-256 verified", {1}});
        cases.push_back({{1, 2}, "xxh128", "XXH3-128 verified", {2}});
    }
    for (const auto& c : cases) {
        const bool windowsReceives = c.windows.count(1) != 0;
        const bool windowsSends = c.windows.count(2) != 0;
        auto kind = [&c](int h) { return c.x86.count(h) != 0 ? "32-bit Windows" : "Windows"; };
        SCOPED_TRACE(std::string(windowsSends ? kind(2) : "Linux") + " sends, " +
                     (windowsReceives ? kind(1) : "Linux") + " receives, " + c.checksum);
        start(c.windows, {}, c.x86);
        std::string bytes(300000, '\0');
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7919) >> 3);
        std::vector<std::string> sendArguments{"send",         "--id",  "FILES",      "--timeout", "60",
                                               "--block-size", "65536", "--checksum", c.checksum,  "--quiet"};
        for (const std::string& name : names) {
            writeFile((windowsSends ? station(2).driveC() : lan->host(2).tmp()) + "/" + name, bytes + name);
            sendArguments.push_back(windowsSends ? "C:\\" + name : "/tmp/" + name);
        }
        const std::string target = windowsReceives ? station(1).driveC() + "/in" : lan->host(1).tmp() + "/in";
        std::filesystem::create_directories(target);
        Child receiver = dyad(1, {"receive", "--id", "FILES", "--accept", computerName(2), "--dir",
                                  windowsReceives ? "C:\\in" : "/tmp/in", "--timeout", "60"});
        Child sender = dyad(2, sendArguments);
        EXPECT_EQ(sender.wait(seconds(90)), 0) << text(sender);
        EXPECT_EQ(receiver.wait(seconds(30)), 0) << text(receiver);
        for (const std::string& name : names) {
            EXPECT_TRUE(readFile((std::filesystem::path(target) / name).string()) == bytes + name)
                << name << ": the file arrived whole, under its name";
        }
        EXPECT_NE(text(receiver).find("received café-ü.bin (293.0 KiB, " + std::string(c.verified) + ")"),
                  std::string::npos)
            << text(receiver);
        EXPECT_NE(text(receiver).find("received second.bin (293.0 KiB, " + std::string(c.verified) + ")"),
                  std::string::npos)
            << text(receiver);
        stations.clear();
    }
}

TEST_F(WindowsWorkstations, DyadExeStoresEachNameAsSentOrRefusesIt) {
    const std::string okDigest = "2689367b205c16ce32ed4200942b8b8b1e262dfc70d9bc9fbc77c49699a4f1df";  // of "ok"
    // The receiving folder is deep enough that a name of 200 characters makes
    // a path longer than Windows allows; one of 150 still fits, and so does
    // one that makes a path of exactly 259 characters (its part file's path
    // is longer).
    const std::string deep(60, 'd');
    const std::string folder = "Z:\\tmp\\in\\" + deep;
    const struct {
        std::string name, why;
    } refused[] = {
        {"C:evil.dll", "a colon"},
        {"Z:escaped", "a colon"},
        {"a:b", "a colon"},
        {"a::$DATA", "a colon"},
        {"trail.", "ends with a dot or a space"},
        {"trail ", "ends with a dot or a space"},
        {"CON", "a device name on Windows"},
        {"NUL", "a device name on Windows"},
        {"aux.txt", "a device name on Windows"},
        {"COM1", "a device name on Windows"},
        {"a<b", "'<', which Windows cannot store"},
        {"q?", "'?', which Windows cannot store"},
        {"star*", "'*', which Windows cannot store"},
        {"say\"hi\"", "'\"', which Windows cannot store"},
        {std::string(200, 'L'), "too long for " + folder},
    };
    const std::string longest = std::string(259 - folder.size() - 1 - 4, 'k') + ".txt";
    const std::set<std::string> stored{"café-ü.txt", "good.txt", std::string(150, 'm') + ".txt", longest};
    std::vector<Block> blocks;
    for (const auto& r : refused) blocks.push_back({r.name, "2", "ok", 21});
    for (const std::string& name : stored) {
        blocks.push_back({name, "2", "ok", 21});
        blocks.push_back({name, "sha256", okDigest, 20});
    }
    for (const bool overwrite : {false, true}) {
        SCOPED_TRACE(overwrite ? "--overwrite" : "without --overwrite");
        start({1});
        const std::string in = lan->host(1).tmp() + "/in/" + deep;
        std::filesystem::create_directories(in);
        // Started in the system directory: a name that names a drive must not
        // reach that drive's current directory.
        std::vector<std::string> arguments{"receive", "--id", "x",         "--accept", "evil",
                                           "--dir",   folder, "--timeout", "30"};
        if (overwrite) arguments.push_back("--overwrite");
        Child receiver = dyad(1, arguments, station(1).systemDirectory());
        Child peer = lan->spawn(2, peerSending(blocks));
        EXPECT_EQ(peer.wait(seconds(90)), 0) << peer.output();
        EXPECT_EQ(receiver.wait(seconds(30)), 8) << text(receiver);
        const std::string output = text(receiver);
        for (const auto& r : refused) {
            EXPECT_NE(output.find("refused the file name '" + r.name + "' (" + r.why), std::string::npos)
                << r.name << "\n"
                << output;
        }
        EXPECT_NE(output.find("received café-ü.txt (2 B, SHA-256 verified)"), std::string::npos) << output;
        std::set<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator(in)) {
            found.insert(entry.path().filename().string());
        }
        EXPECT_EQ(found, stored);
        EXPECT_FALSE(fileExists(station(1).systemDirectory() + "/evil.dll"));
        EXPECT_FALSE(fileExists(station(1).systemDirectory() + "/escaped"));
        stations.clear();
    }
}

TEST_F(WindowsWorkstations, DyadExeSendsAndRebuildsFoldersWithTheirTimes) {
    // Times in whole 100 ns: what Windows keeps.
    const std::map<std::string, std::pair<std::string, int64_t>> files{
        {"photos/a.txt", {"a", 981173106123456700}},
        {"photos/café/b.bin", {std::string(70000, 'b'), 1700000000000000000}},
    };
    for (const int windows : {1, 2}) {
        const bool windowsReceives = windows == 1;
        SCOPED_TRACE(windowsReceives ? "Linux sends, Windows receives" : "Windows sends, Linux receives");
        start({windows});
        const std::string from = windowsReceives ? lan->host(2).tmp() : station(2).driveC();
        for (const auto& [name, file] : files) {
            std::filesystem::create_directories(std::filesystem::path(from + "/" + name).parent_path());
            writeFile(from + "/" + name, file.first);
            setModifiedNanoseconds(from + "/" + name, file.second);
        }
        std::filesystem::create_directories(from + "/photos/empty");
        const std::string target = windowsReceives ? station(1).driveC() + "/in" : lan->host(1).tmp() + "/in";
        std::filesystem::create_directories(target);
        Child receiver = dyad(1, {"receive", "--id", "TREE", "--accept", computerName(2), "--dir",
                                  windowsReceives ? "C:\\in" : "/tmp/in", "--timeout", "60"});
        Child sender = dyad(2, {"send", "--id", "TREE", "--timeout", "60", "--block-size", "65536", "--quiet",
                                windowsReceives ? "/tmp/photos" : "C:\\photos"});
        EXPECT_EQ(sender.wait(seconds(90)), 0) << text(sender);
        EXPECT_EQ(receiver.wait(seconds(30)), 0) << text(receiver);
        for (const auto& [name, file] : files) {
            EXPECT_TRUE(readFile(target + "/" + name) == file.first) << name;
            EXPECT_EQ(modifiedNanoseconds(target + "/" + name), file.second) << name;
        }
        EXPECT_TRUE(std::filesystem::is_directory(target + "/photos/empty"));
        stations.clear();
    }
}

// A private transfer (--code) between dyad.exe and the Linux dyad, either
// way, and with a 32-bit dyad.exe when there is one: a folder (many sealed
// blocks) and a lone file (one stream block, sent as two sealed halves).
TEST_F(WindowsWorkstations, DyadExeSendsAndReceivesPrivateTransfers) {
    std::vector<std::pair<int, Windows>> cases{{1, Windows::x64}, {2, Windows::x64}};
    if (testedKinds.size() > 1) cases.insert(cases.end(), {{1, Windows::x86}, {2, Windows::x86}});
    for (const auto& [windows, kind] : cases) {
        const bool windowsReceives = windows == 1;
        const std::string shown = kind == Windows::x86 ? "32-bit Windows" : "Windows";
        SCOPED_TRACE(windowsReceives ? "Linux sends, " + shown + " receives" : shown + " sends, Linux receives");
        start({windows}, {}, kind == Windows::x86 ? std::set<int>{windows} : std::set<int>{});
        const std::string from = windowsReceives ? lan->host(2).tmp() : station(2).driveC();
        std::filesystem::create_directories(from + "/private/sub");
        writeFile(from + "/private/sub/a.bin", std::string(70000, 'a'));
        writeFile(from + "/lone.txt", "a lone file");
        const std::string target = windowsReceives ? station(1).driveC() + "/in" : lan->host(1).tmp() + "/in";
        std::filesystem::create_directories(target);
        for (const std::string path : {"private", "lone.txt"}) {
            const std::string code = dyad::showCode(dyad::makeCode());
            Child receiver = dyad(1, {"receive", "--code", code, "--accept", computerName(2), "--dir",
                                      windowsReceives ? "C:\\in" : "/tmp/in", "--timeout", "60"});
            Child sender = dyad(2, {"send", "--code", code, "--timeout", "60", "--block-size", "16384", "--quiet",
                                    (windowsReceives ? "/tmp/" : "C:\\") + path});
            EXPECT_EQ(sender.wait(seconds(90)), 0) << text(sender);
            EXPECT_EQ(receiver.wait(seconds(30)), 0) << text(receiver);
        }
        EXPECT_TRUE(readFile(target + "/private/sub/a.bin") == std::string(70000, 'a'));
        EXPECT_EQ(readFile(target + "/lone.txt"), "a lone file");
        stations.clear();
    }
}

// What changes between dyad.exe's check and its sending (a link in a file's
// place, a folder of the path that a link replaced, a file that went away) is
// named by the sender, which sends the rest and ends with 8; the receiver
// stores what came; a time beyond 2262 is left out.
TEST_F(WindowsWorkstations, DyadExeSkipsWhatChangesAfterItsListing) {
    start({2});
    const std::string drive = station(2).driveC();
    const std::string shared = drive + "/shared/";
    std::filesystem::create_directories(shared + "sub");
    std::filesystem::create_directories(drive + "/private");
    const std::pair<std::string, std::string> changes[] = {
        {"link.txt", "reached through a symbolic link or a junction"},
        {"gone.txt", "File not found"},
        {"sub/in.txt", "reached through a symbolic link or a junction"}};
    for (const auto& [name, why] : changes) writeFile(shared + name, "listed\n");
    writeFile(shared + "kept.txt", "listed\n");
    writeFile(shared + "future.txt", "listed\n");
    ASSERT_EQ(system(("touch -d 2300-01-01 " + shared + "future.txt").c_str()), 0);
    writeFile(drive + "/private.txt", "private\n");
    writeFile(drive + "/private/in.txt", "private\n");
    Child sender = dyad(
        2, {"send", "--id", "RACE", "--timeout", "30", "--log", "C:\\send.log", "--log-level", "2", "C:\\shared"});
    ASSERT_TRUE(waitForLog(drive + "/send.log", "Selecting...", seconds(60))) << text(sender);
    std::filesystem::remove(shared + "link.txt");
    std::filesystem::remove(shared + "gone.txt");
    std::filesystem::remove_all(shared + "sub");
    std::filesystem::create_symlink("../private.txt", shared + "link.txt");
    std::filesystem::create_directory_symlink("../private", shared + "sub");
    const std::string in = lan->host(1).tmp() + "/in";
    std::filesystem::create_directories(in);
    Child receiver = dyad(
        1, {"receive", "--id", "RACE", "--accept", computerName(2), "--dir", "/tmp/in", "--timeout", "30"});
    EXPECT_EQ(sender.wait(seconds(90)), 8) << text(sender);
    EXPECT_EQ(receiver.wait(seconds(30)), 0) << text(receiver);
    for (const auto& [name, why] : changes) {
        if (name == "gone.txt") continue;  // what is gone, the sending no longer finds to name
        // As dyad.exe prints the path: with '\\', and each of them escaped.
        std::string shown = "C:\\\\shared\\\\" + name;
        for (size_t at = shown.find('/'); at != std::string::npos; at = shown.find('/', at)) {
            shown.replace(at, 1, "\\\\");
        }
        EXPECT_NE(text(sender).find("skipped " + shown + ": " + why), std::string::npos) << text(sender);
    }
    EXPECT_NE(text(sender).find("C:\\\\shared\\\\future.txt is dated outside the years 1677 to 2262"),
              std::string::npos)
        << text(sender);
    std::set<std::string> arrived;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(in)) {
        arrived.insert(std::filesystem::relative(entry.path(), in).string());
    }
    EXPECT_EQ(arrived, (std::set<std::string>{"shared", "shared/future.txt", "shared/kept.txt", "shared/sub"}));
    EXPECT_GT(modifiedNanoseconds(in + "/shared/future.txt"), 1600000000000000000);
}

// A file that another program rewrites while dyad.exe sends it is withdrawn:
// the scripted Responder holds the first block while it is rewritten.
TEST_F(WindowsWorkstations, DyadExeWithdrawsAFileRewrittenWhileItIsSent) {
    start({2});
    const std::string file = station(2).driveC() + "/rewritten.bin";
    writeFile(file, std::string(10 * 4096, 'a'));
    setModifiedNanoseconds(file, 981173106123456700);
    Child sender = dyad(2, {"send", "--id", "TORN", "--timeout", "30", "--block-size", "4096", "--log",
                            "C:\\send.log", "--log-level", "2", "C:\\rewritten.bin"});
    ASSERT_TRUE(waitForLog(station(2).driveC() + "/send.log", "Selecting...", seconds(60))) << text(sender);
    // Ten blocks of 4096 and 105 bytes, in which the file's status byte
    // follows 63 others (as for the Linux sender).
    Child receiver = lan->spawn(1,
                                responderHoldingTheFirstBlock("TORN", computerName(2), 10, 4096,
                                                              {"drain", "63", "expect", "\\x01", "drain", "41"}));
    ASSERT_TRUE(receiver.waitForOutput("holding")) << receiver.output();
    writeFile(file, std::string(10 * 4096, 'b'));
    receiver.closeInput();
    EXPECT_EQ(sender.wait(seconds(60)), 8) << text(sender);
    EXPECT_EQ(receiver.wait(), 0) << receiver.output();
    EXPECT_NE(text(sender).find("skipped C:\\\\rewritten.bin: it changed while it was sent"), std::string::npos)
        << text(sender);
    EXPECT_NE(receiver.output().find("line put dyad:stream|1|105|20"), std::string::npos) << receiver.output();
}

TEST_F(WindowsWorkstations, DyadExeRefusesHostilePathsOneByOne) {
    start({1});
    const std::string in = lan->host(1).tmp() + "/in";
    const std::string outside = lan->host(1).tmp() + "/outside";
    std::filesystem::create_directories(in);
    std::filesystem::create_directories(outside);
    std::filesystem::create_directory_symlink(outside, in + "/link");
    writeFile(in + "/file.txt", "a file");
    Child receiver = dyad(
        1, {"receive", "--id", "x", "--accept", "evil", "--dir", "Z:\\tmp\\in", "--timeout", "30", "--overwrite"});
    Child peer = lan->spawn(2, peerSending(hostilePathBlocks()));
    EXPECT_EQ(peer.wait(seconds(90)), 0) << peer.output();
    EXPECT_EQ(receiver.wait(seconds(30)), 8) << text(receiver);
    for (const HostilePath& path : hostilePaths) {
        EXPECT_NE(text(receiver).find(path.why), std::string::npos) << path.sent << "\n" << text(receiver);
    }
    EXPECT_TRUE(std::filesystem::is_empty(outside)) << "nothing reached the folder outside";
    EXPECT_EQ(readFile(in + "/ok/deep/g.txt"), "ok");
    EXPECT_EQ(modifiedNanoseconds(in + "/ok/deep/g.txt"), 981173106123456700) << "Windows keeps 100 ns";
    EXPECT_EQ(readFile(in + "/ok/h.txt"), "ok");
    EXPECT_TRUE(std::filesystem::is_directory(in + "/ok/empty"));
}

// The blocks of a file of two bytes, "ok" or "ko", with its SHA-256 block.
std::vector<Block> twoBytes(const std::string& name, bool ok = true) {
    const std::string digest = ok ? "2689367b205c16ce32ed4200942b8b8b1e262dfc70d9bc9fbc77c49699a4f1df"
                                  : "1fdbc74ccfd68d0714ae539c0d93f2f3a1805387632eca33d3bd6a5013afb13e";
    return {{name, "2", ok ? "ok" : "ko", 21}, {name, "sha256", digest, 20}};
}

TEST_F(WindowsWorkstations, DyadExeRefusesNamesThatWindowsStoresAsOneFileAndNamesItCannotStore) {
    start({1});
    const std::string in = lan->host(1).tmp() + "/in";
    std::filesystem::create_directories(in + "/folder.txt");
    // A Linux sender's folder may hold names that differ in case only.
    std::vector<Block> blocks;
    for (const auto& [name, ok] : std::vector<std::pair<std::string, bool>>{{"folder.txt", false},
                                                                            {"a.txt", true},
                                                                            {"A.TXT", false},
                                                                            {"Docs/one", true},
                                                                            {"docs/ONE", false},
                                                                            {"docs/x", true},
                                                                            {"ok.txt", true}}) {
        const std::vector<Block> file = twoBytes(name, ok);
        blocks.insert(blocks.end(), file.begin(), file.end());
    }
    Child receiver = dyad(
        1, {"receive", "--id", "x", "--accept", "evil", "--dir", "Z:\\tmp\\in", "--timeout", "30", "--overwrite"});
    Child peer = lan->spawn(2, peerSending(blocks));
    EXPECT_EQ(peer.wait(seconds(90)), 0) << peer.output();
    EXPECT_EQ(receiver.wait(seconds(30)), 8) << text(receiver);
    for (const char* message :
         {"refused folder.txt: a folder has that name",
          "refused A.TXT: it would replace a.txt, which arrived earlier in this transfer",
          "refused docs/ONE: it would replace Docs/one, which arrived earlier in this transfer",
          "received docs/x as Docs/x (2 B, SHA-256 verified)", "received ok.txt (2 B", "received 4 files"}) {
        EXPECT_NE(text(receiver).find(message), std::string::npos) << message << "\n" << text(receiver);
    }
    std::set<std::string> arrived;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(in)) {
        arrived.insert(std::filesystem::relative(entry.path(), in).string());
    }
    EXPECT_EQ(arrived, (std::set<std::string>{"folder.txt", "a.txt", "Docs", "Docs/one", "Docs/x", "ok.txt"}));
    EXPECT_EQ(readFile(in + "/a.txt"), "ok");
    EXPECT_EQ(readFile(in + "/Docs/one"), "ok");
}

TEST_F(WindowsWorkstations, DyadExeHoldsItsFoldersSoThatNoLinkTakesTheirPlace) {
    start({1});
    const std::string in = lan->host(1).tmp() + "/in";
    const std::string outside = lan->host(1).tmp() + "/outside";
    std::filesystem::create_directories(in);
    std::filesystem::create_directories(outside);
    std::vector<Block> blocks = twoBytes("sub/a");
    const std::vector<Block> second = twoBytes("sub/b");
    blocks.insert(blocks.end(), second.begin(), second.end());
    Child receiver = dyad(1,
                          {"receive", "--id", "x", "--accept", "evil", "--dir", "Z:\\tmp\\in", "--timeout", "60"});
    Child peer = lan->spawn(2, peerSending(blocks, 2));
    ASSERT_TRUE(receiver.waitForOutput("received sub/a", seconds(60))) << text(receiver);
    // Another program of the workstation moves the folder away to put a link
    // to a folder outside in its place.
    Child mover = station(1).spawn({"cmd", "/c", "move", "Z:\\tmp\\in\\sub", "Z:\\tmp\\in\\moved"});
    mover.wait();
    if (fileExists(in + "/moved")) std::filesystem::create_directory_symlink(outside, in + "/sub");
    peer.closeInput();
    EXPECT_EQ(peer.wait(seconds(60)), 0) << peer.output();
    EXPECT_EQ(receiver.wait(seconds(30)), 0) << text(receiver);
    EXPECT_FALSE(fileExists(in + "/moved")) << "the folder could not be moved while files arrived in it";
    EXPECT_TRUE(std::filesystem::is_empty(outside)) << "nothing reached the folder outside";
    EXPECT_EQ(readFile(in + "/sub/b"), "ok");
}

TEST_F(WindowsWorkstations, DyadExeShowsNamesInAConsoleAsTheyAre) {
    start({1});
    std::filesystem::create_directories(lan->host(1).tmp() + "/in");
    Child receiver = station(1).spawn({windowsProgram("dyad"), "receive", "--id", "x", "--accept", "evil", "--dir",
                                       "Z:\\tmp\\in", "--timeout", "30"},
                                      {"LANG=C.UTF-8"}, "", true);
    Child peer = lan->spawn(2, peerSending(twoBytes("café-ü.txt")));
    EXPECT_EQ(peer.wait(seconds(90)), 0) << peer.output();
    EXPECT_EQ(receiver.wait(seconds(30)), 0) << receiver.output();
    // What the console shows, without the escapes and the spaces (cursor
    // moves) that wine's console draws it with.
    std::string shown;
    const std::string output = receiver.output();
    for (size_t at = 0; at < output.size(); ++at) {
        if (output[at] == '\x1b' && at + 1 < output.size() && output[at + 1] == '[') {
            at += 2;
            while (at < output.size() && !std::isalpha(static_cast<unsigned char>(output[at]))) ++at;
        } else if (output[at] != ' ') {
            shown += output[at];
        }
    }
    EXPECT_NE(shown.find("receivedcafé-ü.txt(2B,SHA-256verified)"), std::string::npos) << shown;
    EXPECT_EQ(shown.find("Ã"), std::string::npos) << shown;
}

TEST_F(WindowsWorkstations, DyadExeNamesBothVersionsAndListensForAnnounces) {
    start({1});
    writeFile(station(1).systemDirectory() + "/dyadc.dll", windowsLibraryWithVersion(2, 7));
    Child version = dyad(1, {"--version"});
    EXPECT_EQ(version.wait(), 0);
    EXPECT_EQ(text(version), "dyad " + std::to_string(DYAD_VERSION_MAJOR) + "." +
                                 std::to_string(DYAD_VERSION_MINOR) +
                                 "\ndyadc library 2.7, loaded from C:\\windows\\system32\\dyadc.dll\n");

    Child listen = dyad(1, {"listen", "--id", "LAB7", "--timeout", "4"});
    ASSERT_TRUE(listen.waitForOutput("dyad: listening on 192.168.10.1 for 4 s")) << text(listen);
    Child peer = lan->spawn(2, {helperPath("test-peer"), "announce", "LAB7", "192.168.10.2", "2", "announce",
                                "OTHER", "192.168.10.2", "1"});
    EXPECT_EQ(listen.wait(), 0) << text(listen);
    EXPECT_NE(text(listen).find("'LAB7' from 192.168.10.2 on 192.168.10.1\n"), std::string::npos) << text(listen);
    EXPECT_NE(text(listen).find("'OTHER' from 192.168.10.2 on 192.168.10.1\n"), std::string::npos) << text(listen);
}

#endif

}  // namespace
}  // namespace dyadc::test
