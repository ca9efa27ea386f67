// The Windows platform layer in one process, under wine, in the network of
// `prefix run`: loopback, d0 10.9.0.1 and d1 10.9.1.1 (usable), d2 10.9.2.1
// (no multicast), d3 10.9.3.1 and 24 more interfaces (down); dyadc.dll of
// this build is installed in the system directory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "api/entry.h"
#include "dyadc.h"
#include "log/log.h"
#include "platform/windows/win32.h"
// After windows.h.
#include <sddl.h>

#include "rendezvous/interfaces.h"
#include "session/session.h"
#include "tests/support/fixtures.h"
#include "tests/support/results.h"

namespace dyadc::platform {
namespace {

constexpr const char* firstInterface = "10.9.0.1";
constexpr const char* secondInterface = "10.9.1.1";

SocketAddress addressOf(const char* text, uint16_t port) {
    SocketAddress address{};
    address.family = addressFamilyIpv4;
    address.port = toNetwork16(port);
    EXPECT_EQ(parseDottedAddress(text, &address.address), 0) << text;
    return address;
}

uint16_t freshPort() {
    static uint16_t port = 9100;
    return port++;
}

// A connection: `client` made by connectTo, `server` accepted by a listener.
struct Connection {
    SocketHandle listener = invalidSocket;
    SocketHandle client = invalidSocket;
    SocketHandle server = invalidSocket;

    Connection() {
        const SocketAddress at = addressOf(firstInterface, freshPort());
        listener = openStreamSocket(0);
        EXPECT_EQ(bindListener(listener, at), 0);
        EXPECT_EQ(listenOn(listener), 0);
        client = openStreamSocket(0);
        EXPECT_EQ(connectTo(client, at), 0) << lastSocketError();
        SocketAddress peer{};
        int32_t length = 0;
        server = acceptConnection(listener, &peer, &length);
        EXPECT_NE(server, invalidSocket);
        EXPECT_EQ(length, 16);
        EXPECT_EQ(peer.address, at.address);
    }
    ~Connection() {
        for (SocketHandle handle : {client, server, listener}) {
            if (handle != invalidSocket) (void)closeHandle(handle);  // the test has its answer already
        }
    }
};

size_t receiveExactly(SocketHandle socket, size_t length) {
    std::vector<char> buffer(1 << 16);
    size_t received = 0;
    while (received < length) {
        const int64_t got = receiveSome(socket, buffer.data(), std::min(buffer.size(), length - received));
        if (got <= 0) break;
        received += static_cast<size_t>(got);
    }
    return received;
}

TEST(WindowsSockets, TimeOutsReport10060AndLeaveTheConnectionUsable) {
    Connection connection;
    char buffer[8] = {};
    ASSERT_EQ(setReceiveTimeout(connection.client, 300), 0);
    EXPECT_EQ(receiveSome(connection.client, buffer, sizeof buffer), -1);
    EXPECT_EQ(lastSocketError(), errorTimedOut);
    EXPECT_EQ(peekSome(connection.client, buffer, sizeof buffer), -1);
    EXPECT_EQ(lastSocketError(), errorTimedOut);
    // Urgent data from the peer is no data to read: the wait still ends.
    ASSERT_EQ(send(native(connection.server), "!", 1, MSG_OOB), 1);
    EXPECT_EQ(receiveSome(connection.client, buffer, sizeof buffer), -1);
    EXPECT_EQ(lastSocketError(), errorTimedOut);
    ASSERT_EQ(sendAll(connection.server, "late", 4, nullptr), 0);
    EXPECT_EQ(receiveExactly(connection.client, 4), 4u) << "the connection still carries what comes later";

    // A peer that reads nothing: the send stops at its time-out, and tells
    // how much left before it; the rest follows once the peer reads again.
    ASSERT_EQ(setSendTimeout(connection.client, 300), 0);
    std::vector<char> block(32u << 20, 'b');
    size_t sent = 0;
    EXPECT_EQ(sendAll(connection.client, block.data(), block.size(), &sent), -1);
    EXPECT_EQ(lastSocketError(), errorTimedOut);
    EXPECT_GT(sent, 0u);
    EXPECT_LT(sent, block.size());
    size_t drained = 0;
    std::thread reader([&] { drained = receiveExactly(connection.server, block.size()); });
    ASSERT_EQ(setSendTimeout(connection.client, 0), 0);
    size_t rest = 0;
    EXPECT_EQ(sendAll(connection.client, block.data() + sent, block.size() - sent, &rest), 0);
    reader.join();
    EXPECT_EQ(sent + rest, block.size());
    EXPECT_EQ(drained, block.size());
}

TEST(WindowsSockets, ConnectFailuresCarryTheirSocketErrorsPastTheLog) {
    test::LogCapture log;
    SocketHandle socket = openStreamSocket(0);
    ASSERT_EQ(bindAddress(socket, addressOf(firstInterface, 0)), 0);
    EXPECT_EQ(connectTo(socket, addressOf(firstInterface, freshPort())), -1);
    EXPECT_EQ(lastSocketError(), errorConnectionRefused);
    writeLog("a log line between the failure and the question");
    EXPECT_EQ(lastSocketError(), errorConnectionRefused);
    EXPECT_EQ(closeHandle(socket), 0);

    // Nobody answers at this address: the send time-out ends the attempt.
    socket = openStreamSocket(0);
    ASSERT_EQ(setSendTimeout(socket, 500), 0);
    EXPECT_EQ(connectTo(socket, addressOf("10.9.0.77", 8181)), -1);
    EXPECT_EQ(lastSocketError(), errorTimedOut);
    EXPECT_EQ(closeHandle(socket), 0);
}

TEST(WindowsSockets, ListenersAreExclusiveAndBindAgainAfterTheirConnectionsClose) {
    const SocketAddress at = addressOf(firstInterface, freshPort());
    {
        SocketHandle first = openStreamSocket(0);
        ASSERT_EQ(bindListener(first, at), 0);
        ASSERT_EQ(listenOn(first), 0);
        SocketHandle second = openStreamSocket(0);
        EXPECT_EQ(bindListener(second, at), -1) << "never two live listeners";
        EXPECT_EQ(lastSocketError(), errorAddressInUse);
        EXPECT_EQ(closeHandle(second), 0);
        // A connection that this side closes first waits out TIME_WAIT on
        // the listener's address.
        SocketHandle client = openStreamSocket(0);
        ASSERT_EQ(connectTo(client, at), 0);
        SocketHandle accepted = acceptConnection(first, nullptr, nullptr);
        ASSERT_NE(accepted, invalidSocket);
        EXPECT_EQ(closeHandle(first), 0);
        (void)shutdownReceive(accepted);  // the client may have gone first
        EXPECT_EQ(closeHandle(accepted), 0);
        char byte;
        EXPECT_EQ(receiveSome(client, &byte, 1), 0);
        EXPECT_EQ(closeHandle(client), 0);
    }
    SocketHandle again = openStreamSocket(0);
    EXPECT_EQ(bindListener(again, at), 0) << lastSocketError();
    EXPECT_EQ(closeHandle(again), 0);
}

TEST(WindowsSockets, BrokenConnectionsAreToldFromSilentOnes) {
    Connection connection;
    EXPECT_FALSE(connectionBroken(connection.client));
    EXPECT_EQ(waitReadable(connection.client, 200), 0);
    EXPECT_EQ(closeHandle(connection.server), 0);
    connection.server = invalidSocket;
    EXPECT_EQ(waitReadable(connection.client, 5000), 1);
    EXPECT_TRUE(connectionBroken(connection.client));
    EXPECT_TRUE(brokenConnectionError(errorConnectionReset));
    EXPECT_FALSE(brokenConnectionError(errorTimedOut));
}

TEST(WindowsSockets, SelectKeepsTheReadyHandlesInTheirOrder) {
    Connection connections[3];
    SelectSet set{};
    for (Connection& connection : connections) set.handles[set.count++] = connection.client;
    SelectSet quiet = set;
    EXPECT_EQ(selectReadable(&quiet, 300), 0);
    EXPECT_EQ(quiet.count, 0u);

    ASSERT_EQ(sendAll(connections[2].server, "c", 1, nullptr), 0);
    ASSERT_EQ(sendAll(connections[0].server, "a", 1, nullptr), 0);
    ASSERT_EQ(waitReadable(connections[2].client, 5000), 1);
    EXPECT_EQ(selectReadable(&set, 5000), 2);
    ASSERT_EQ(set.count, 2u);
    EXPECT_EQ(set.handles[0], connections[0].client);
    EXPECT_EQ(set.handles[1], connections[2].client);

    SelectSet empty{};
    EXPECT_EQ(selectReadable(&empty, 300), 0) << "an empty set waits and reports nothing";
}

TEST(WindowsSockets, GroupReceiversReportOnlyWhatArrivesOnTheirInterface) {
    const SocketAddress group = addressOf("239.192.8.1", 8181);
    const char* interfaces[2] = {firstInterface, secondInterface};
    SocketHandle receivers[2];
    for (int i = 0; i < 2; ++i) {
        receivers[i] = openDatagramSocket(0);
        ASSERT_EQ(bindGroupReceiver(receivers[i], group), 0) << lastSocketError();
        ASSERT_EQ(joinGroup(receivers[i], group.address, addressOf(interfaces[i], 0).address), 0);
    }
    SocketHandle sender = openDatagramSocket(0);
    for (int via = 0; via < 2; ++via) {
        ASSERT_EQ(setMulticastInterface(sender, addressOf(interfaces[via], 0).address), 0);
        ASSERT_EQ(sendDatagram(sender, "LAB7", 5, group), 5);
        SelectSet set{};
        set.handles[set.count++] = receivers[0];
        set.handles[set.count++] = receivers[1];
        ASSERT_EQ(selectReadable(&set, 5000), 1) << "through " << interfaces[via];
        EXPECT_EQ(set.handles[0], receivers[via]);
        char text[100] = {};
        SocketAddress from{};
        int32_t fromLength = 0;
        EXPECT_EQ(receiveDatagram(receivers[via], text, sizeof text, &from, &fromLength), 5);
        EXPECT_STREQ(text, "LAB7");
        EXPECT_STREQ(dotted(from).text, interfaces[via]);
        EXPECT_EQ(fromLength, 16);
    }
    // A datagram longer than the buffer fills it.
    ASSERT_EQ(setMulticastInterface(sender, addressOf(firstInterface, 0).address), 0);
    const std::string longer(300, 'x');
    ASSERT_EQ(sendDatagram(sender, longer.data(), longer.size(), group), 300);
    char part[100];
    EXPECT_EQ(receiveDatagram(receivers[0], part, sizeof part, nullptr, nullptr), 100);
    SelectSet rest{};
    rest.handles[rest.count++] = receivers[1];
    EXPECT_EQ(selectReadable(&rest, 1000), 0) << "the other interface's receiver saw none of it";
    for (SocketHandle handle : {receivers[0], receivers[1], sender}) EXPECT_EQ(closeHandle(handle), 0);
}

TEST(WindowsInterfaces, RecordsCarryTheFlagsAndOnlyUsableOnesAreListed) {
    InterfaceRecord records[interfaceRecordLimit];
    int count = 0;
    ASSERT_EQ(listInterfaceRecords(records, interfaceRecordLimit, &count), 0) << lastSocketError();
    EXPECT_EQ(count, interfaceRecordLimit) << "more interfaces than the caller takes: the first ones";
    struct Expected {
        const char* address;
        uint32_t set;
        uint32_t clear;
    } expected[] = {
        {"127.0.0.1", interfaceUp | interfaceLoopback, 0},
        {"10.9.0.1", interfaceUp | interfaceMulticast, interfaceLoopback | interfacePointToPoint},
        {"10.9.2.1", interfaceUp, interfaceMulticast},
        {"10.9.3.1", 0, interfaceUp},
    };
    for (const Expected& e : expected) {
        const InterfaceRecord* found = nullptr;
        for (int i = 0; i < count; ++i) {
            if (std::strcmp(dotted(records[i].address).text, e.address) == 0) found = &records[i];
        }
        ASSERT_NE(found, nullptr) << e.address;
        EXPECT_EQ(found->flags & e.set, e.set) << e.address;
        EXPECT_EQ(found->flags & e.clear, 0u) << e.address;
        EXPECT_EQ(found->address.family, addressFamilyIpv4);
        EXPECT_EQ(found->address.port, 0);
    }
    int two = 0;
    ASSERT_EQ(listInterfaceRecords(records, 2, &two), 0);
    EXPECT_EQ(two, 2);

    test::freshSession();
    SocketAddress table[interfaceTableSize];
    int32_t usable = -1;
    ASSERT_EQ(listUsableInterfaces(invalidSocket, table, &usable), 0);
    ASSERT_EQ(usable, 2);
    EXPECT_STREQ(dotted(table[0]).text, firstInterface);
    EXPECT_STREQ(dotted(table[1]).text, secondInterface);
}

TEST(WindowsSession, SharedMemoryTakesItsInitialValuesOnce) {
    // This program took the Session at its start.
    SharedSession other{};
    applySharedInitialValues(other);
    other.openCount = 77;
    SharedMemory again = attachSharedMemory(sizeof other, sharedSessionLayout, &other);
    EXPECT_TRUE(again.shared);
    EXPECT_FALSE(again.initialised);
    ASSERT_NE(again.data, nullptr);
    EXPECT_NE(static_cast<SharedSession*>(again.data)->openCount, 77u);
    EXPECT_EQ(attachSharedMemory(sizeof other, sharedSessionLayout + 1, &other).reason, sharedMemoryReasonLayout);
    std::vector<unsigned char> huge(1 << 16);
    const SharedMemory tooLarge = attachSharedMemory(static_cast<uint32_t>(huge.size()), 1, huge.data());
    EXPECT_FALSE(tooLarge.shared);
    EXPECT_EQ(tooLarge.data, nullptr);

    // The viewer sees the same memory.
    void* memory = peekSharedMemory("any", sizeof(SharedSession), sharedSessionLayout);
    ASSERT_NE(memory, nullptr);
    EXPECT_NE(memory, &sharedSession());
    const uint32_t openCount = sharedSession().openCount;
    sharedSession().openCount = 4321;
    EXPECT_EQ(static_cast<const SharedSession*>(memory)->openCount, 4321u);
    sharedSession().openCount = openCount;
    unmapSharedMemory(memory, sizeof(SharedSession));
    EXPECT_EQ(peekSharedMemory("any", sizeof(SharedSession), sharedSessionLayout + 1), nullptr);
}

// Memory under the user's name that lets others in is another user's: the
// process keeps a Session of its own.
TEST(WindowsSession, MemoryThatLetsOthersInIsNotShared) {
    char* text = nullptr;
    HANDLE token = nullptr;
    alignas(8) unsigned char user[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    DWORD length = 0;
    ASSERT_NE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token), 0);
    ASSERT_NE(GetTokenInformation(token, TokenUser, user, sizeof user, &length), 0);
    CloseHandle(token);
    ASSERT_NE(ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &text), 0);
    const std::string name = std::string("Local\\dyadc-") + std::to_string(sizeof(void*) * 8) + "-" + text;
    LocalFree(text);

    SharedSession values{};
    applySharedInitialValues(values);
    for (const char* access : {"D:P(A;;GA;;;WD)", "D:P(A;;GA;;;S-1-5-21-1-2-3-4)"}) {
        // This process lets go of its Session; another "user" takes the name.
        libraryEntry(GetModuleHandleA(nullptr), reasonProcessDetach, nullptr);
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_NE(
            ConvertStringSecurityDescriptorToSecurityDescriptorA(access, SDDL_REVISION_1, &descriptor, nullptr),
            0);
        SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
        HANDLE squatter = CreateFileMappingA(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE, 0, 65536,
                                             name.c_str());
        LocalFree(descriptor);
        ASSERT_NE(squatter, nullptr) << access;
        ASSERT_NE(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << "the Session's memory has gone";
        const SharedMemory memory = attachSharedMemory(sizeof values, sharedSessionLayout, &values);
        EXPECT_FALSE(memory.shared) << access;
        EXPECT_EQ(memory.reason, sharedMemoryReasonOwner) << access;
        CloseHandle(squatter);
        libraryEntry(GetModuleHandleA(nullptr), reasonProcessAttach, nullptr);
        EXPECT_TRUE(sessionIsShared()) << "the user's own memory again";
    }
}

TEST(WindowsFiles, VersionComesFromTheLibraryInTheSystemDirectory) {
    applyProcessInitialValues(processSession());
    onProcessAttach();
    EXPECT_STREQ(processSession().versionText, "2.04");
    VersionRecord record{};
    ASSERT_EQ(readVersionRecord(DYADC_TEST_DLL, &record), 0);
    EXPECT_EQ(record.fileVersionMost, 2u);
    EXPECT_EQ(record.fileVersionLeast, 4u);
    EXPECT_EQ(record.productVersionMost, 2u);
    EXPECT_EQ(record.productVersionLeast, 4u);
    EXPECT_EQ(readVersionRecord("C:\\windows\\win.ini", &record), -1);
    EXPECT_EQ(readVersionRecord("C:\\no\\such\\dyadc.dll", &record), -1);

    char directory[264];
    const uint32_t length = systemDirectory(directory, 261);
    EXPECT_EQ(length, std::strlen(directory));
    EXPECT_EQ(_stricmp(directory, "C:\\windows\\system32"), 0) << directory;
    char small[8] = "x";
    EXPECT_EQ(systemDirectory(small, sizeof small), length + 1) << "the size it needs";
    EXPECT_STREQ(small, "");
    EXPECT_EQ(systemDirectory(nullptr, 0), length + 1);
    EXPECT_EQ(pathSeparator, '\\');
    EXPECT_STREQ(defaultLogPath, "c:\\dyadc.log");
}

TEST(WindowsFiles, StoredFilesAndReplacementsTakeThePlaceOfOldFiles) {
    namespace fs = std::filesystem;
    const fs::path directory = fs::temp_directory_path() /
                               ("dyadc-stored-" + std::to_string(GetCurrentProcessId()));
    fs::create_directories(directory);
    const std::string update = (directory / "dyadc.dl_").string();
    test::writeFile(update, "an older update");
    std::FILE* file = createStoredFile(update.c_str());
    ASSERT_NE(file, nullptr);
    std::fputs("new", file);
    std::fclose(file);
    EXPECT_EQ(test::readFile(update), "new");
    EXPECT_EQ(createStoredFile(directory.string().c_str()), nullptr) << "a folder is no file";

    const std::string other = (directory / "other").string();
    test::writeFile(other, "replaced");
    EXPECT_EQ(replaceFile(other.c_str(), update.c_str()), 0);
    EXPECT_EQ(test::readFile(update), "replaced");
    EXPECT_FALSE(fs::exists(other));
    EXPECT_EQ(replaceFile(other.c_str(), update.c_str()), -1);
    fs::remove_all(directory);
}

TEST(WindowsFiles, OnlyADllOfThisMachineIsALibraryForThisSystem) {
    namespace fs = std::filesystem;
    const std::string library = test::readFile(DYADC_TEST_DLL);
    char program[MAX_PATH] = {};
    ASSERT_NE(GetModuleFileNameA(nullptr, program, sizeof program), 0u);
    // The DLL with its machine type changed (the other of x86 and x64).
    std::string otherMachine = library;
    uint32_t header = 0;
    std::memcpy(&header, &library[0x3c], 4);
    const uint16_t machine = library[header + 4] == '\x4c' ? 0x8664 : 0x14c;
    std::memcpy(&otherMachine[header + 4], &machine, 2);
    const struct {
        const char* what;
        std::string bytes;
        const char* why;  // nullptr: a library of this system
    } files[] = {
        {"the built DLL", library, nullptr},
        {"another machine's DLL", otherMachine, "a Windows file for another machine"},
        {"a program", test::readFile(program), "a program, not a DLL"},
        {"a Linux library",
         "\x7f"
         "ELF\x02\x01\x01",
         "not a Windows program or DLL"},
        {"the DOS header alone", library.substr(0, 64), "not a Windows program or DLL"},
        {"text", "abcd", "not a Windows program or DLL"},
    };
    const fs::path path = fs::temp_directory_path() / ("dyadc-kind-" + std::to_string(GetCurrentProcessId()));
    for (const auto& file : files) {
        test::writeFile(path.string(), file.bytes);
        EXPECT_STREQ(libraryMismatch(path.string().c_str()), file.why) << file.what;
    }
    fs::remove(path);
    EXPECT_STREQ(libraryMismatch(path.string().c_str()), "a file that cannot be read");
}

TEST(WindowsLog, LinesEndWithCrLfAndBadPathsLoseLinesQuietly) {
    test::LogCapture log;
    LOG_BASIC("first %d", 1);
    const std::string text = test::readFile(log.path());
    ASSERT_GE(text.size(), 2u);
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
    EXPECT_EQ(text.find("\r\r"), std::string::npos) << "no text mode doubles the line end";

    const std::string longPath = "C:\\" + std::string(600, 'p');
    DyadSetLog(longPath.c_str(), 0, 2);
    EXPECT_EQ(processSession().logPath, log.path()) << "an over-long path is not taken";
    DyadSetLog("Q:\\no\\such\\folder\\dyadc.log", 0, 2);
    LOG_BASIC("lost");
    EXPECT_FALSE(test::fileExists("Q:\\no\\such\\folder\\dyadc.log"));

    // Trimming works through the temporary file and the replacement.
    DyadSetLog(log.path().c_str(), 0, 2);
    for (int i = 0; i < 50; ++i) LOG_BASIC("line %02d of the log", i);
    ASSERT_EQ(trimLog(log.path().c_str(), 200), 0);
    const auto kept = log.messages();
    ASSERT_FALSE(kept.empty());
    EXPECT_EQ(kept.front().rfind("line ", 0), 0u) << "the kept part begins with a whole line";
    EXPECT_EQ(kept.back(), "line 49 of the log");
    EXPECT_LE(test::readFile(log.path()).size(), 260u);
    EXPECT_FALSE(test::fileExists(log.path() + ".tmp"));
    LOG_BASIC("after the trim");
    EXPECT_TRUE(log.has("after the trim")) << "the trimmed log stays this user's to write";
}

TEST(WindowsHost, ProcessesEnvironmentAndComputerName) {
    EXPECT_TRUE(processAlive(currentProcess()));
    EXPECT_EQ(processIdOf(currentProcess()), currentProcessId());
    EXPECT_EQ(processIdentityOf(currentProcessId()), currentProcess());
    EXPECT_FALSE(processAlive(currentProcess() ^ 1)) << "its id, another start: a process that reused the id";
    EXPECT_FALSE(processAlive(0));
    char program[MAX_PATH];
    ASSERT_GT(GetModuleFileNameA(nullptr, program, sizeof program), 0u);
    std::string command = std::string("\"") + program + "\" --exit";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    ASSERT_TRUE(
        CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child));
    const ProcessIdentity identity = processIdentityOf(static_cast<int32_t>(child.dwProcessId));
    EXPECT_NE(identity, 0u);
    WaitForSingleObject(child.hProcess, INFINITE);
    EXPECT_FALSE(processAlive(identity));
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);

    SetEnvironmentVariableA("DYADC_TEST_VARIABLE", "");
    EXPECT_TRUE(environmentDefined("DYADC_TEST_VARIABLE")) << "defined, even when empty";
    SetEnvironmentVariableA("DYADC_TEST_VARIABLE", nullptr);
    EXPECT_FALSE(environmentDefined("DYADC_TEST_VARIABLE"));

    char name[64];
    ASSERT_EQ(computerName(name, sizeof name), 0);
    char expected[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD length = sizeof expected;
    ASSERT_TRUE(GetComputerNameA(expected, &length));
    EXPECT_STREQ(name, expected);
    char cut[3];
    ASSERT_EQ(computerName(cut, sizeof cut), 0);
    EXPECT_EQ(std::strlen(cut), 2u);
}

}  // namespace
}  // namespace dyadc::platform
