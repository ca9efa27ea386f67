// The dyad command between two simulated workstations.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "dyadc.h"
#include "tests/support/lan.h"
#include "tests/support/scripted_sender.h"
#include "tools/base/checksum.h"
#include "tools/format/stream_encoder.h"
#include "tools/seal/seal.h"

namespace dyadc::test {
namespace {

using namespace std::chrono;

class Dyad : public testing::Test {
protected:
    void SetUp() override { start(); }
    // A LAN whose workstations have the built library; workstation 1
    // receives into its /tmp/in.
    void start(const Lan::Options& options = {}) {
        lan = std::make_unique<Lan>(options);
        ASSERT_TRUE(lan->ok());
        for (int h = 1; h <= options.hosts; ++h) {
            writeFile(lan->host(h).system() + "/libdyadc.so", readFile(libraryPath()));
        }
        received = lan->host(1).tmp() + "/in";
        ASSERT_EQ(system(("mkdir -p " + received).c_str()), 0);
    }
    Child dyad(int h, std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), DYADC_TEST_DYAD);
        return lan->spawn(h, arguments);
    }
    static bool has(const std::string& text, const std::string& part) {
        return text.find(part) != std::string::npos;
    }
    // Names in the receiving directory (or in `folder`) that are part files
    // left behind.
    std::vector<std::string> partFiles(const std::string& folder = "") const {
        std::vector<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator(folder.empty() ? received : folder)) {
            if (has(entry.path().filename().string(), "dyad-part")) found.push_back(entry.path().string());
        }
        return found;
    }

    std::unique_ptr<Lan> lan;
    std::string received;
};

std::string pattern(size_t size, int seed) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 131 + static_cast<size_t>(seed) * 7) % 256);
    return bytes;
}

// What runs a command as a user who is not root, and what that user cannot
// write (the workstation's library folder among it).
const std::vector<std::string> asAUser{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};

// The names below `folder`, each with its path from there.
std::set<std::string> treeOf(const std::string& folder) {
    std::set<std::string> found;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        found.insert(std::filesystem::relative(entry.path(), folder).string());
    }
    return found;
}

TEST_F(Dyad, FilesArriveByteForByteUnderEitherChecksum) {
    const std::string out = lan->host(2).tmp();
    const std::string files[][2] = {
        {"empty.bin", ""},
        {"one-block.bin", pattern(65536, 1)},         // exactly one block: a single block
        {"series.bin", pattern(65536 * 3 + 500, 2)},  // a series of four blocks
        {"note.txt", "hello\n"},
    };
    for (const auto& file : files) writeFile(out + "/" + file[0], file[1]);
    // The receiver hashes the first file with XXH3-128 as it comes; a sender
    // of SHA-256 has that file read back, and the next ones hashed as they come.
    const struct {
        std::vector<std::string> flags;
        const char* verified;
    } checksums[] = {{{}, "XXH3-128 verified"}, {{"--checksum", "sha256"}, "SHA-256 verified"}};
    int round = 0;
    for (const auto& checksum : checksums) {
        SCOPED_TRACE(checksum.verified);
        for (const auto& file : files) std::filesystem::remove(received + "/" + file[0]);
        const std::string id = "files" + std::to_string(++round);
        std::vector<std::string> sendArguments{"send", "--id", id, "--timeout", "30", "--block-size", "65536"};
        sendArguments.insert(sendArguments.end(), checksum.flags.begin(), checksum.flags.end());
        for (const auto& file : files) sendArguments.push_back("/tmp/" + file[0]);
        // The receiver's buffer is smaller than the sender's blocks: each arrives in pieces.
        Child receiver = dyad(1, {"receive", "--id", id, "--accept", "ws2", "--dir", "/tmp/in", "--timeout", "30",
                                  "--block-size", "16384"});
        Child sender = dyad(2, sendArguments);
        EXPECT_EQ(sender.wait(), 0) << sender.output();
        EXPECT_EQ(receiver.wait(), 0) << receiver.output();
        for (const auto& file : files) {
            ASSERT_TRUE(fileExists(received + "/" + file[0])) << file[0];
            EXPECT_TRUE(readFile(received + "/" + file[0]) == file[1]) << file[0];
            EXPECT_TRUE(has(receiver.output(), "received " + file[0] + " (")) << receiver.output();
        }
        EXPECT_TRUE(has(sender.output(), "sent 4 files")) << sender.output();
        EXPECT_TRUE(has(receiver.output(), "received 4 files")) << receiver.output();
        EXPECT_TRUE(has(receiver.output(), "received empty.bin (0 B, " + std::string(checksum.verified) + ")"))
            << receiver.output();
        EXPECT_TRUE(has(receiver.output(), "received series.bin (192.5 KiB, " + std::string(checksum.verified)))
            << receiver.output();
        EXPECT_TRUE(partFiles().empty());
    }
}

TEST_F(Dyad, OnlyFilesThatPassTheirChecksumKeepTheirName) {
    // The digests of "ok", as xxhsum -H2 and sha256sum print them.
    const std::string okXxh = "707da546ca9349c738af4cfed25a8222";
    const std::string okDigest = "2689367b205c16ce32ed4200942b8b8b1e262dfc70d9bc9fbc77c49699a4f1df";
    const std::string koDigest = "1fdbc74ccfd68d0714ae539c0d93f2f3a1805387632eca33d3bd6a5013afb13e";  // of "ko"
    struct Case {
        const char* what;
        std::vector<Block> blocks;
        std::vector<std::string> flags;
        int exit;
        bool stored;
        std::string message;
    } cases[] = {
        {"xxh128 matches",
         {{"f.txt", "2", "ok", 21}, {"f.txt", "xxh128", okXxh, 20}},
         {},
         0,
         true,
         "received f.txt (2 B, XXH3-128 verified)"},
        {"sha256 matches",
         {{"f.txt", "2", "ok", 21}, {"f.txt", "sha256", okDigest, 20}},
         {},
         0,
         true,
         "received f.txt (2 B, SHA-256 verified)"},
        {"xxh128 read back by a receiver that expected sha256",
         {{"f.txt", "2", "ok", 21}, {"f.txt", "xxh128", okXxh, 20}},
         {"--checksum", "sha256"},
         0,
         true,
         "received f.txt (2 B, XXH3-128 verified)"},
        // A corrupted byte in a file after one that named the same checksum.
        {"xxh128 catches a corrupted byte",
         {{"e.txt", "2", "ok", 21},
          {"e.txt", "xxh128", okXxh, 20},
          {"f.txt", "2", "oj", 21},
          {"f.txt", "xxh128", okXxh, 20}},
         {},
         10,
         false,
         "f.txt failed its XXH3-128 check (sent " + okXxh +
             ", received b34bdffef6d9fe82ccb8363dd963dd0a); removed"},
        {"sha256 catches a corrupted byte",
         {{"e.txt", "2", "ok", 21},
          {"e.txt", "sha256", okDigest, 20},
          {"f.txt", "2", "oj", 21},
          {"f.txt", "sha256", okDigest, 20}},
         {},
         10,
         false,
         "f.txt failed its SHA-256 check (sent " + okDigest +
             ", received 03f115c82c19c6b11fa29b0a3bb0b3e5732ee9aa9260236012bd2fb6b8673b55); removed"},
        {"checksum differs",
         {{"f.txt", "2", "ok", 21}, {"f.txt", "sha256", koDigest, 20}},
         {},
         10,
         false,
         "f.txt failed its SHA-256 check (sent " + koDigest + ", received " + okDigest + "); removed"},
        {"size differs",
         {{"f.txt", "3", "ok", 21}, {"f.txt", "sha256", okDigest, 20}},
         {},
         10,
         false,
         "f.txt arrived with 2 of its 3 bytes; removed"},
        {"cut short",
         {{"f.txt", "2", "ok", 21}, {"g.txt", "2", "ok", 21}, {"g.txt", "sha256", okDigest, 20}},
         {},
         10,
         false,
         "f.txt ended without its checksum block; removed"},
        {"unknown checksum",
         {{"f.txt", "2", "ok", 21}, {"f.txt", "blake3", okDigest, 20}},
         {},
         10,
         false,
         "f.txt came with a checksum that this dyad does not know ('blake3') and cannot be verified"},
        {"unknown checksum, accepted",
         {{"f.txt", "2", "ok", 21}, {"f.txt", "blake3", okDigest, 20}},
         {"--accept-unverified"},
         0,
         true,
         "received f.txt (2 B, NOT verified: a checksum that this dyad does not know)"},
        {"no checksum", {{"f.txt", "2", "ok", 1}}, {}, 10, false, "f.txt came without a checksum"},
        {"no checksum, accepted",
         {{"f.txt", "2", "ok", 1}},
         {"--accept-unverified"},
         0,
         true,
         "received f.txt (2 B, NOT verified: the sender sent no checksum)"},
        {"last bytes without a checksum, accepted",
         {{"f.txt", "2", "o", 21}, {"f.txt", "2", "k", 20}},
         {"--accept-unverified"},
         0,
         true,
         "received f.txt (2 B, NOT verified: the sender sent no checksum)"},
    };
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(received + "/e.txt");
        std::filesystem::remove(received + "/f.txt");
        const std::string id = "sum" + std::to_string(++round);
        std::vector<std::string> arguments{"receive", "--id",    id,          "--accept", "evil",
                                           "--dir",   "/tmp/in", "--timeout", "20"};
        arguments.insert(arguments.end(), c.flags.begin(), c.flags.end());
        Child receiver = dyad(1, arguments);
        Child peer = lan->spawn(2, peerSending(c.blocks));
        EXPECT_EQ(receiver.wait(), c.exit) << receiver.output();
        EXPECT_EQ(peer.wait(), 0) << peer.output();
        EXPECT_TRUE(has(receiver.output(), c.message)) << receiver.output();
        EXPECT_EQ(fileExists(received + "/f.txt"), c.stored);
        if (c.stored) EXPECT_EQ(readFile(received + "/f.txt"), "ok");
        EXPECT_TRUE(partFiles().empty());
    }
}

TEST_F(Dyad, AnInterruptedReceiverRemovesItsPartFileAndNothingThroughALink) {
    Child receiver = dyad(1,
                          {"receive", "--id", "cut", "--accept", "evil", "--dir", "/tmp/in", "--timeout", "20"});
    std::vector<std::string> steps = peerSending({{"sub/f.txt", "10", "hello", 21}});
    steps.resize(steps.size() - 7);  // no quit: the series stays open
    steps.push_back("hold");
    Child peer = lan->spawn(2, steps);
    const std::string sub = received + "/sub";
    for (int wait = 0; wait < 200 && (!fileExists(sub) || partFiles(sub).empty()); ++wait)
        std::this_thread::sleep_for(milliseconds(50));
    ASSERT_EQ(partFiles(sub).size(), 1u) << receiver.output();
    // Meanwhile a local user moves the folder away and puts a link to a
    // folder outside in its place, with a file of the part file's name there.
    const std::string part = std::filesystem::path(partFiles(sub)[0]).filename().string();
    const std::string outside = lan->host(1).tmp() + "/outside";
    std::filesystem::create_directories(outside);
    writeFile(outside + "/" + part, "not the receiver's");
    std::filesystem::rename(sub, received + "/moved");
    std::filesystem::create_directory_symlink(outside, sub);
    receiver.kill(SIGTERM);
    EXPECT_EQ(receiver.wait(), 128 + SIGTERM);
    EXPECT_TRUE(partFiles(received + "/moved").empty()) << "the part file itself is removed";
    EXPECT_EQ(readFile(outside + "/" + part), "not the receiver's") << "nothing through the link";
    EXPECT_FALSE(fileExists(received + "/moved/f.txt"));
    peer.closeInput();
}

TEST_F(Dyad, AnExistingFileIsReplacedOnlyWithOverwrite) {
    writeFile(lan->host(2).tmp() + "/keep.txt", "new");
    struct Case {
        bool overwrite;
        int exit;
        const char* content;
    } cases[] = {{false, 8, "old"}, {true, 0, "new"}};
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.overwrite ? "--overwrite" : "without --overwrite");
        writeFile(received + "/keep.txt", "old");
        const std::string id = "keep" + std::to_string(++round);
        std::vector<std::string> arguments{"receive", "--id",    id,          "--accept", "ws2",
                                           "--dir",   "/tmp/in", "--timeout", "20"};
        if (c.overwrite) arguments.push_back("--overwrite");
        Child receiver = dyad(1, arguments);
        Child sender = dyad(2, {"send", "--id", id, "--timeout", "20", "/tmp/keep.txt"});
        EXPECT_EQ(sender.wait(), 0) << sender.output();
        EXPECT_EQ(receiver.wait(), c.exit) << receiver.output();
        EXPECT_EQ(readFile(received + "/keep.txt"), c.content);
        EXPECT_EQ(has(receiver.output(), "refused keep.txt: a file of that name exists in /tmp/in"), !c.overwrite)
            << receiver.output();
        EXPECT_TRUE(partFiles().empty());
    }
}

TEST_F(Dyad, ANameThatCannotBeStoredIsRefusedAndTheFilesAfterItArrive) {
    const std::string okDigest = "2689367b205c16ce32ed4200942b8b8b1e262dfc70d9bc9fbc77c49699a4f1df";  // of "ok"
    // A folder where a file goes, and a folder that may not be written (the
    // receiver runs without the right to override permissions).
    std::filesystem::create_directories(received + "/folder.txt");
    std::filesystem::create_directories(received + "/locked");
    std::filesystem::permissions(received + "/locked", std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::remove);
    std::vector<Block> blocks;
    for (const char* name : {"folder.txt", "locked/a.txt", "locked/new/b.txt", "ok.txt"}) {
        blocks.push_back({name, "2", "ok", 21});
        blocks.push_back({name, "sha256", okDigest, 20});
    }
    Child receiver = lan->spawn(
        1, {"setpriv", "--bounding-set", "-dac_override,-dac_read_search", DYADC_TEST_DYAD, "receive", "--id",
            "nostore", "--accept", "evil", "--dir", "/tmp/in", "--timeout", "20", "--overwrite"});
    Child peer = lan->spawn(2, peerSending(blocks));
    EXPECT_EQ(peer.wait(), 0) << peer.output();
    EXPECT_EQ(receiver.wait(), 8) << receiver.output();
    for (const char* refusal :
         {"refused folder.txt: a folder has that name", "refused locked/a.txt: Permission denied",
          "refused locked/new/b.txt: Permission denied", "received ok.txt (2 B", "received 1 file"}) {
        EXPECT_TRUE(has(receiver.output(), refusal)) << refusal << "\n" << receiver.output();
    }
    EXPECT_EQ(readFile(received + "/ok.txt"), "ok");
    EXPECT_TRUE(std::filesystem::is_directory(received + "/folder.txt"));
    EXPECT_TRUE(std::filesystem::is_empty(received + "/locked"));
}

TEST_F(Dyad, ARefusedNameEndsTheSenderWhileTheReceiverWaitsOnWithinItsLimit) {
    writeFile(lan->host(2).tmp() + "/a.txt", "a");
    Child receiver = dyad(1, {"receive", "--id", "refuse", "--accept", "somebody-else", "--timeout", "6"});
    Child sender = dyad(2, {"send", "--id", "refuse", "--timeout", "20", "/tmp/a.txt"});
    EXPECT_EQ(sender.wait(), 3);
    EXPECT_EQ(receiver.wait(), 4);
    EXPECT_TRUE(has(sender.output(), "the computer name was refused (103)")) << sender.output();
    EXPECT_TRUE(has(receiver.output(), "refused workstation ws2 (not in --accept)")) << receiver.output();
    EXPECT_TRUE(has(receiver.output(), "dyad: pairing: the peer did not answer in time (101)"))
        << receiver.output();
}

TEST_F(Dyad, WrongIdentifierTimesOut) {
    writeFile(lan->host(2).tmp() + "/a.txt", "a");
    Child receiver = dyad(1, {"receive", "--id", "right", "--accept", "ws2", "--timeout", "4"});
    Child sender = dyad(2, {"send", "--id", "wrong", "--timeout", "4", "--log", "/tmp/send.log", "/tmp/a.txt"});
    EXPECT_EQ(receiver.wait(), 4);
    EXPECT_TRUE(has(receiver.output(), "dyad: pairing: the peer did not answer in time (101)"))
        << receiver.output();
    // The Initiator starts again after every announce with another identifier;
    // it ends once the other side has stopped announcing.
    EXPECT_EQ(sender.wait(), 4);
    EXPECT_TRUE(has(sender.output(), "dyad: pairing: the peer did not answer in time (101)")) << sender.output();
    EXPECT_TRUE(logHas(lan->host(2).tmp() + "/send.log",
                       "Rejected source workstation: 192.168.10.1 with identifier: right"));
}

TEST_F(Dyad, HostileFileNameFromAScriptedPeerIsRefused) {
    // Single blocks without a checksum, as earlier senders sent small files.
    Child receiver = dyad(1, {"receive", "--id", "x", "--accept", "evil", "--dir", "/tmp/in", "--timeout", "20",
                              "--accept-unverified"});
    Child peer = lan->spawn(
        2, {helperPath("test-peer"), "connect", "192.168.10.2", "192.168.10.1", "send", "evil\\r\\n", "expect",
            "000 OK\\r\\n", "send", "2.04\\r\\n", "expect", "000 OK\\r\\n", "eof", "connect", "192.168.10.2",
            "192.168.10.1", "send", "put ../escaped|4|4|1\\r\\n", "expect", "000 OK\\r\\n", "send", "evil",
            "expect", "000 Ok\\r\\n", "eof",
            // Each single block travels on a connection of its own.
            "connect", "192.168.10.2", "192.168.10.1", "send", "put good.txt|2|2|1\\r\\n", "expect",
            "000 OK\\r\\n", "send", "ok", "expect", "000 Ok\\r\\n", "eof", "connect", "192.168.10.2",
            "192.168.10.1", "send", "quit 23\\r\\n", "sleep", "500"});
    EXPECT_EQ(receiver.wait(), 8) << receiver.output();
    EXPECT_EQ(peer.wait(), 0) << peer.output();
    EXPECT_TRUE(has(receiver.output(), "refused the file name '../escaped'")) << receiver.output();
    EXPECT_FALSE(fileExists(lan->host(1).tmp() + "/escaped"));
    EXPECT_EQ(readFile(received + "/good.txt"), "ok") << "the files after it still arrive";
}

// What a hostile or broken sender can make dyad print: no byte that a
// terminal acts on (escape sequences, carriage returns, bells) gets through.
bool terminalSafe(const std::string& output) {
    for (char c : {'\x1b', '\x07', '\x7f', '\xff', '\x01'}) {
        if (output.find(c) != std::string::npos) return false;
    }
    return true;
}

TEST_F(Dyad, NamesThatEitherSystemCannotStoreAreRefusedOneByOneAndTheRestArrive) {
    const std::string okDigest = "2689367b205c16ce32ed4200942b8b8b1e262dfc70d9bc9fbc77c49699a4f1df";  // of "ok"
    struct Refused {
        std::string sent;   // in test-peer's escapes
        std::string shown;  // as dyad prints it
        std::string why;
    } refused[] = {
        {"C:evil.dll", "C:evil.dll", "a colon"},
        {"a::$DATA", "a::$DATA", "a colon"},
        {"trail.", "trail.", "ends with a dot or a space"},
        {"trail ", "trail ", "ends with a dot or a space"},
        {"CON", "CON", "a device name on Windows"},
        {"nul.txt", "nul.txt", "a device name on Windows"},
        {"Aux.TXT", "Aux.TXT", "a device name on Windows"},
        {"com1", "com1", "a device name on Windows"},
        {"LPT9.tar.gz", "LPT9.tar.gz", "a device name on Windows"},
        {"a<b", "a<b", "'<', which Windows cannot store"},
        {"why?", "why?", "'?', which Windows cannot store"},
        {"say\"hi\"", "say\"hi\"", "'\"', which Windows cannot store"},
        {"back\\\\slash", "back\\\\slash", "not a plain file name"},
        {"bell\\x07", "bell\\x07", "a control character"},
        {"del\\x7f", "del\\x7f", "a control character"},
        {"EVIL\\x1b[2K\\rdyad: received x.txt", "EVIL\\x1b[2K\\x0ddyad: received x.txt", "a control character"},
        {"\\xff\\xfe.txt", "\\xff\\xfe.txt", "not valid UTF-8"},
        {std::string(230, 'n'), std::string(230, 'n'), "longer than 200 bytes"},
    };
    // Each refused file is the first block of a series that the next file's
    // first block ends.
    std::vector<Block> blocks;
    for (const Refused& r : refused) blocks.push_back({r.sent, "2", "ok", 21});
    const std::vector<Block> rest{
        {"negative.txt", "-1", "ok", 21},  // a size that is no size
        {"café-ü.txt", "2", "ok", 21},
        {"café-ü.txt", "sha256", okDigest, 20},
        // U+061C and U+202E, which turn the direction of a line: stored, and
        // shown escaped.
        {"bidi-\\xd8\\x9c\\xe2\\x80\\xae.txt", "2", "ok", 21},
        {"bidi-\\xd8\\x9c\\xe2\\x80\\xae.txt", "sha256", okDigest, 20},
        {"g.txt", "2", "ok", 21},
        {"g.txt", "sha256", okDigest, 20},
        {"g.txt", "3000", std::string(100, 'x'), 22},  // bytes after the file
                                                       // was complete
        {"last.txt", "2", "ok", 21},
        {"last.txt", "sha256", okDigest, 20},
    };
    blocks.insert(blocks.end(), rest.begin(), rest.end());
    Child receiver = dyad(1,
                          {"receive", "--id", "names", "--accept", "evil", "--dir", "/tmp/in", "--timeout", "20"});
    Child peer = lan->spawn(2, peerSending(blocks));
    EXPECT_EQ(peer.wait(), 0) << peer.output();
    EXPECT_EQ(receiver.wait(), 8) << receiver.output();
    const std::string output = receiver.output();
    for (const Refused& r : refused) {
        EXPECT_TRUE(has(output, "refused the file name '" + r.shown + "' (" + r.why)) << r.shown << "\n" << output;
    }
    EXPECT_TRUE(has(output, "refused negative.txt: its size -1 is negative")) << output;
    EXPECT_TRUE(has(output, "received café-ü.txt (2 B, SHA-256 verified)")) << output;
    EXPECT_TRUE(has(output, "received bidi-\\xd8\\x9c\\xe2\\x80\\xae.txt (2 B")) << output;
    EXPECT_TRUE(has(output, "dropped 100 bytes that belong to no file")) << output;
    EXPECT_EQ(output.find("dropped"), output.rfind("dropped")) << "only the stray bytes are called dropped";
    EXPECT_TRUE(has(output, "received 4 files")) << output;
    EXPECT_TRUE(terminalSafe(output)) << output;
    std::set<std::string> stored;
    for (const auto& entry : std::filesystem::directory_iterator(received)) {
        stored.insert(entry.path().filename().string());
    }
    EXPECT_EQ(stored, (std::set<std::string>{"café-ü.txt", "bidi-\xd8\x9c\xe2\x80\xae.txt", "g.txt", "last.txt"}));
}

TEST_F(Dyad, AFolderArrivesAsItsTreeWithItsTimesEmptyFoldersAndNoLinks) {
    const std::string out = lan->host(2).tmp();
    const std::string tree = out + "/photos";
    std::filesystem::create_directories(tree + "/sub/deep");
    std::filesystem::create_directories(tree + "/empty/inner");
    std::filesystem::create_directories(out + "/outside");
    writeFile(out + "/outside/secret.txt", "secret");
    writeFile(tree + "/a.txt", "a");
    writeFile(tree + "/sub/b.txt", pattern(70000, 5));
    writeFile(tree + "/sub/deep/c.bin", pattern(200000, 6));
    writeFile(out + "/plain.txt", "plain");
    // A time that nanoseconds since 1970 in 64 bits cannot hold.
    writeFile(tree + "/future.txt", "future");
    ASSERT_EQ(system(("touch -d 2300-01-01 " + tree + "/future.txt").c_str()), 0);
    std::filesystem::create_directory_symlink("../outside", tree + "/linked-folder");
    std::filesystem::create_symlink("../outside/secret.txt", tree + "/linked-file");
    // Sent with a separator after its name: the folder's name still leads
    // every path.
    Child receiver = dyad(1, {"receive", "--id", "tree", "--accept", "ws2", "--dir", "/tmp/in", "--timeout", "30",
                              "--block-size", "65536"});
    Child sender = dyad(
        2, {"send", "--id", "tree", "--timeout", "30", "--block-size", "65536", "/tmp/photos/", "/tmp/plain.txt"});
    EXPECT_EQ(sender.wait(), 0) << sender.output();
    EXPECT_EQ(receiver.wait(), 0) << receiver.output();
    EXPECT_TRUE(has(sender.output(), "skipped /tmp/photos/linked-folder: a symbolic link")) << sender.output();
    EXPECT_TRUE(has(sender.output(), "skipped /tmp/photos/linked-file: a symbolic link")) << sender.output();
    EXPECT_TRUE(has(sender.output(), "sent 5 files")) << sender.output();
    EXPECT_TRUE(has(receiver.output(), "received photos/sub/deep/c.bin (195.3 KiB, XXH3-128 verified)"))
        << receiver.output();
    EXPECT_EQ(treeOf(received),
              (std::set<std::string>{"photos", "photos/a.txt", "photos/future.txt", "photos/sub",
                                     "photos/sub/b.txt", "photos/sub/deep", "photos/sub/deep/c.bin",
                                     "photos/empty", "photos/empty/inner", "plain.txt"}));
    for (const char* file : {"photos/a.txt", "photos/sub/b.txt", "photos/sub/deep/c.bin"}) {
        const std::string sent = out + "/" + std::string(file);
        EXPECT_TRUE(readFile(received + "/" + file) == readFile(sent)) << file;
        EXPECT_EQ(modifiedNanoseconds(received + "/" + file), modifiedNanoseconds(sent)) << file;
    }
    EXPECT_TRUE(has(sender.output(), "dyad: /tmp/photos/future.txt is dated outside the years 1677 to 2262"))
        << sender.output();
    EXPECT_GT(modifiedNanoseconds(received + "/photos/future.txt"), 1600000000000000000)
        << "sent without its time, it has that of its arrival";
}

// What changes between the check and the sending: a link put in a file's
// place is never followed, a FIFO never waited on, a file that went away
// does not end the sending. The sending names what it passes over, says
// that it found less than was checked, and the rest arrives.
TEST_F(Dyad, WhatChangesAfterTheListingIsSkippedByNameAndTheRestArrives) {
    const std::string out = lan->host(2).tmp();
    const std::string shared = out + "/shared/";
    std::filesystem::create_directories(shared + "sub");
    std::filesystem::create_directories(out + "/private");
    for (const char* name : {"link.txt", "fifo.txt", "gone.txt", "sub/in.txt", "kept.txt"}) {
        writeFile(shared + name, "listed\n");
    }
    writeFile(out + "/private.txt", "private\n");
    writeFile(out + "/private/in.txt", "private\n");
    Child sender = dyad(2, {"send", "--id", "race", "--timeout", "20", "--log", "/tmp/send.log", "--log-level",
                            "2", "/tmp/shared"});
    // Checked, and waiting for the receiver.
    ASSERT_TRUE(waitForLog(out + "/send.log", "Selecting...")) << sender.output();
    for (const char* name : {"link.txt", "fifo.txt", "gone.txt"}) std::filesystem::remove(shared + name);
    std::filesystem::remove_all(shared + "sub");
    std::filesystem::create_symlink("../private.txt", shared + "link.txt");
    std::filesystem::create_directory_symlink("../private", shared + "sub");
    ASSERT_EQ(mkfifo((shared + "fifo.txt").c_str(), 0644), 0);
    Child receiver = dyad(1,
                          {"receive", "--id", "race", "--accept", "ws2", "--dir", "/tmp/in", "--timeout", "20"});
    EXPECT_EQ(sender.wait(seconds(40)), 8) << sender.output();
    EXPECT_EQ(receiver.wait(), 0) << receiver.output();
    for (const char* skipped :
         {"skipped /tmp/shared/link.txt: a symbolic link", "skipped /tmp/shared/fifo.txt: not a file or a folder",
          "skipped /tmp/shared/sub: a symbolic link", "sent 1 file, ",
          "5 files and empty folders were listed, 1 found when sending"}) {
        EXPECT_TRUE(has(sender.output(), skipped)) << sender.output();
    }
    EXPECT_EQ(treeOf(received), (std::set<std::string>{"shared", "shared/kept.txt"}));
}

// A file rewritten in place while it is sent: what was read is neither
// version, so the sender withdraws it. The receiver here is scripted: it
// holds back the first block's acknowledgement while the file is rewritten.
TEST_F(Dyad, AFileRewrittenWhileItIsSentIsWithdrawn) {
    const std::string file = lan->host(2).tmp() + "/rewritten.bin";
    writeFile(file, pattern(10 * 4096, 1));
    setModifiedNanoseconds(file, 981173106123456789);
    Child sender = dyad(2, {"send", "--id", "torn", "--timeout", "20", "--block-size", "4096", "--log",
                            "/tmp/send.log", "--log-level", "2", "/tmp/rewritten.bin"});
    ASSERT_TRUE(waitForLog(lan->host(2).tmp() + "/send.log", "Selecting...")) << sender.output();
    // The stream: a header of 26 bytes, the file's record (37 bytes before its
    // content), its 40960 bytes, its trailer (a status byte and 16 of digest)
    // and the end record (25): ten blocks of 4096 and 105 bytes, in which the
    // status byte follows 63 others.
    Child receiver = lan->spawn(
        1,
        responderHoldingTheFirstBlock("torn", "ws2", 10, 4096, {"drain", "63", "expect", "\\x01", "drain", "41"}));
    ASSERT_TRUE(receiver.waitForOutput("holding")) << receiver.output();
    writeFile(file, pattern(10 * 4096, 2));
    receiver.closeInput();
    EXPECT_EQ(sender.wait(), 8) << sender.output();
    EXPECT_EQ(receiver.wait(), 0) << receiver.output();
    EXPECT_TRUE(has(sender.output(), "skipped /tmp/rewritten.bin: it changed while it was sent"))
        << sender.output();
    EXPECT_TRUE(has(receiver.output(), "line put dyad:stream|1|105|20")) << receiver.output();
    EXPECT_TRUE(has(receiver.output(), "line quit 23")) << receiver.output();
}

// What would not reach the receiver whole stops the sender before it pairs:
// a file it cannot read, and two paths that would arrive under one name.
TEST_F(Dyad, WhatTheReceiverCouldNotGetWholeStopsTheSenderBeforeItPairs) {
    const std::string out = lan->host(2).tmp();
    for (const char* folder : {"/d1", "/d2", "/d3/same.txt"}) std::filesystem::create_directories(out + folder);
    for (const char* file : {"/ok.txt", "/secret.txt", "/d1/same.txt", "/d2/same.txt", "/d3/same.txt/in"}) {
        writeFile(out + file, "x");
    }
    std::filesystem::permissions(out + "/secret.txt", std::filesystem::perms::owner_read);
    const struct {
        std::vector<std::string> user;
        std::vector<std::string> paths;
        std::string problem;
    } cases[] = {
        {asAUser, {"/tmp/ok.txt", "/tmp/secret.txt"}, "/tmp/secret.txt cannot be read (Permission denied)"},
        {{},
         {"/tmp/d1/same.txt", "/tmp/d2/same.txt"},
         "/tmp/d1/same.txt and /tmp/d2/same.txt would both arrive as same.txt"},
        {{},
         {"/tmp/d3/same.txt", "/tmp/d1/same.txt"},
         "/tmp/d1/same.txt would arrive as same.txt, which /tmp/d3/same.txt/in"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.problem);
        std::vector<std::string> command = c.user;
        command.insert(command.end(), {DYADC_TEST_DYAD, "send", "--id", "x", "--timeout", "1"});
        command.insert(command.end(), c.paths.begin(), c.paths.end());
        std::string output;
        EXPECT_EQ(lan->run(2, command, {}, &output), 8) << output;
        EXPECT_TRUE(has(output, "dyad: " + c.problem)) << output;
        EXPECT_TRUE(has(output, "nothing was sent")) << output;
    }
}

TEST_F(Dyad, HostilePathsAreRefusedOneByOneAndNoLinkLeadsOutside) {
    const std::string outside = lan->host(1).tmp() + "/outside";
    std::filesystem::create_directories(outside);
    std::filesystem::create_directory_symlink(outside, received + "/link");
    writeFile(received + "/file.txt", "a file");
    Child receiver = dyad(
        1, {"receive", "--id", "paths", "--accept", "evil", "--dir", "/tmp/in", "--timeout", "20", "--overwrite"});
    Child peer = lan->spawn(2, peerSending(hostilePathBlocks()));
    EXPECT_EQ(peer.wait(), 0) << peer.output();
    EXPECT_EQ(receiver.wait(), 8) << receiver.output();
    for (const HostilePath& path : hostilePaths) {
        EXPECT_TRUE(has(receiver.output(), path.why)) << path.sent << "\n" << receiver.output();
    }
    EXPECT_TRUE(std::filesystem::is_empty(outside)) << "nothing reached the folder outside";
    EXPECT_FALSE(fileExists(lan->host(1).tmp() + "/up.txt"));
    EXPECT_FALSE(fileExists(lan->host(1).tmp() + "/up"));
    EXPECT_EQ(readFile(received + "/ok/deep/g.txt"), "ok");
    EXPECT_EQ(modifiedNanoseconds(received + "/ok/deep/g.txt"), 981173106123456789);
    EXPECT_EQ(readFile(received + "/ok/h.txt"), "ok") << "a time that is no time is ignored";
    EXPECT_TRUE(std::filesystem::is_directory(received + "/ok/empty"));
    EXPECT_TRUE(has(receiver.output(), "received 2 files")) << receiver.output();
}

TEST_F(Dyad, AStrangerIsRefusedAndTheReceiverWaitsForTheAcceptedSender) {
    writeFile(lan->host(2).tmp() + "/a.txt", "a");
    // A computer name that would rewrite the line before it and retitle the window.
    const std::string name = "EVIL\\x1b[2K\\rdyad: accepted workstation TRUSTED\\x1b]0;owned\\x07";
    const std::string shown = "EVIL\\x1b[2K\\x0ddyad: accepted workstation TRUSTED\\x1b]0;owned\\x07";
    struct Case {
        const char* what;
        bool terminal;
        std::string refusal;
    } cases[] = {
        {"--accept ws2", false, "dyad: refused workstation " + shown + " (not in --accept)"},
        {"asked on a terminal", true, "Workstation " + shown + " wants to pair. Accept it? [y/N]"},
    };
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string id = "stranger" + std::to_string(++round);
        Child receiver = c.terminal ? lan->spawn(1, {"script", "-qfec",
                                                     std::string(DYADC_TEST_DYAD) + " receive --id " + id +
                                                         " --dir /tmp/in --timeout 40 --overwrite --quiet",
                                                     "/dev/null"})
                                    : dyad(1, {"receive", "--id", id, "--accept", "ws2", "--dir", "/tmp/in",
                                               "--timeout", "40", "--overwrite"});
        Child stranger = lan->spawn(2, {helperPath("test-peer"), "connect", "192.168.10.2", "192.168.10.1", "send",
                                        name + "\\r\\n", "expect", "001 CANCEL\\r\\n"});
        if (c.terminal) {
            ASSERT_TRUE(receiver.waitForOutput("[y/N]")) << receiver.output();
            receiver.writeInput("n\n");
        }
        EXPECT_EQ(stranger.wait(), 0) << stranger.output();
        Child sender = dyad(2, {"send", "--id", id, "--timeout", "40", "/tmp/a.txt"});
        if (c.terminal) {
            ASSERT_TRUE(receiver.waitForOutput("Workstation ws2 wants to pair")) << receiver.output();
            receiver.writeInput("y\n");
        }
        EXPECT_EQ(sender.wait(), 0) << sender.output();
        EXPECT_EQ(receiver.wait(), 0) << receiver.output();
        EXPECT_TRUE(has(receiver.output(), c.refusal)) << receiver.output();
        EXPECT_TRUE(terminalSafe(receiver.output())) << receiver.output();
        EXPECT_EQ(readFile(received + "/a.txt"), "a");
    }
}

// Strangers that connect a hundred times a second, each with a computer
// name that the receiver refuses, do not keep the accepted sender out. Here
// its connection waits behind theirs (the receiver stopped meanwhile), and
// the receiver drops it with the stranger it refuses: the sender tries again
// within its time limit.
TEST_F(Dyad, AFloodOfStrangersDoesNotKeepTheAcceptedSenderOut) {
    Lan::Options three;
    three.hosts = 3;
    start(three);
    writeFile(lan->host(2).tmp() + "/a.txt", "a");
    Child receiver = dyad(1, {"receive", "--id", "flood", "--accept", "ws2", "--dir", "/tmp/in", "--timeout", "30",
                              "--log", "/tmp/receive.log"});
    ASSERT_TRUE(waitForLog(lan->host(1).tmp() + "/receive.log", "Looking for a response...")) << receiver.output();
    receiver.kill(SIGSTOP);
    Child strangers = lan->spawn(
        3, {helperPath("test-peer"), "strangers", "100", "15", "STRANGER", "192.168.10.3", "192.168.10.1"});
    Child sender = dyad(2, {"send", "--id", "flood", "--timeout", "20", "--log", "/tmp/send.log", "--log-level",
                            "2", "/tmp/a.txt"});
    ASSERT_TRUE(waitForLog(lan->host(2).tmp() + "/send.log", "Selecting...")) << sender.output();
    // The announce that the stopped receiver would send.
    EXPECT_EQ(lan->run(1, {helperPath("test-peer"), "announce", "flood", "192.168.10.1", "1"}), 0);
    ASSERT_TRUE(waitForLog(lan->host(2).tmp() + "/send.log", ">>ws2")) << sender.output();
    receiver.kill(SIGCONT);
    EXPECT_EQ(sender.wait(), 0) << sender.output();
    EXPECT_EQ(receiver.wait(), 0) << receiver.output();
    EXPECT_TRUE(has(sender.output(), "dyad: pairing: a connection step failed (100); trying again"))
        << sender.output();
    EXPECT_TRUE(has(receiver.output(), "dyad: refused workstation STRANGER (not in --accept)"))
        << receiver.output();
    EXPECT_EQ(readFile(received + "/a.txt"), "a");
}

// A sender with a newer library hands it to the receiver, which stores it
// beside its own; both say so and end at once, and say what to do with it.
// A receiver that cannot write its library's folder says why the pairing
// failed.
TEST_F(Dyad, ALibraryUpdateEndsBothSidesAtOnceAndTheySayWhatItMeans) {
    writeFile(lan->host(2).system() + "/libdyadc.so", libraryWithVersion(2, 5));
    writeFile(lan->host(2).tmp() + "/a.txt", "a");
    const std::string folder = lan->host(1).system();
    const struct {
        std::vector<std::string> user;
        int exit;
        std::string receiverSays;
        std::string senderSays;
    } cases[] = {
        {{},
         7,
         "the peer's newer library was stored as " + folder +
             "/dyadc.dl_. It is meant for a library installed "
             "from source: put it in the place of " +
             folder + "/libdyadc.so and pair again",
         "it stored this workstation's newer one as dyadc.dl_"},
        {asAUser, 5, folder + " is not writable by this user", "could not store it"},
    };
    int round = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.user.empty() ? "root" : "a user");
        const std::string id = "update" + std::to_string(++round);
        std::vector<std::string> command = c.user;
        command.insert(command.end(), {DYADC_TEST_DYAD, "receive", "--id", id, "--accept", "ws2", "--dir",
                                       "/tmp/in", "--timeout", "30"});
        // A Session of the user's own: root's cannot be shared with it.
        Child receiver = lan->spawn(1, command, {"DYADC_SESSION=" + lan->host(1).session + id});
        Child sender = dyad(2, {"send", "--id", id, "--timeout", "30", "/tmp/a.txt"});
        EXPECT_EQ(receiver.wait(), c.exit) << receiver.output();
        EXPECT_EQ(sender.wait(seconds(20)), c.exit) << sender.output();
        EXPECT_TRUE(has(receiver.output(), c.receiverSays)) << receiver.output();
        EXPECT_TRUE(has(receiver.output(), "DYADC_SYSTEM_DIR")) << receiver.output();
        EXPECT_TRUE(has(sender.output(), c.senderSays)) << sender.output();
        EXPECT_EQ(fileExists(folder + "/dyadc.dl_"), c.user.empty());
        std::filesystem::remove(folder + "/dyadc.dl_");
    }
}

TEST_F(Dyad, AReceiveThatLostWhatTheSenderMeantToSendIsNoSuccess) {
    const std::string okDigest = "2689367b205c16ce32ed4200942b8b8b1e262dfc70d9bc9fbc77c49699a4f1df";  // of "ok"
    // A header that the sender's library refuses to send: the receiver sees
    // a pairing that ends without a block.
    std::vector<std::string> refusedHeader{helperPath("test-host"), "open", "1",  "nothing", "20", "send",
                                           std::string(300, 'n'),   "2",    "21", "2",       "20", "close"};
    // A header without its length and type, which the receiver's library
    // refuses: the sender waits in vain for its go-ahead.
    std::vector<std::string> incompleteHeader = peerSending(
        {{"f.txt", "2", "ok", 21}, {"f.txt", "sha256", okDigest, 20}});
    const std::vector<std::string> incomplete{"connect",       "192.168.10.2", "192.168.10.1", "send",
                                              "put x|2\\r\\n", "quiet",        "300",          "close"};
    incompleteHeader.insert(incompleteHeader.end() - 7, incomplete.begin(), incomplete.end());
    // A connection that breaks in the middle of a file: the receiver waits for
    // the sender to come back until its time limit.
    std::vector<std::string> broken = peerSending({{"f.txt", "10", "hello", 21}});
    broken.resize(broken.size() - 7);  // no quit
    broken.push_back("reset");
    struct Case {
        const char* what;
        const char* accept;
        std::vector<std::string> sender;
        std::string message;
        int exit;
        const char* limit = "20";
    } cases[] = {
        {"refused header", "ws2", refusedHeader, "the peer closed the pairing without sending a file", 8},
        {"incomplete header", "evil", incompleteHeader, "the peer sent an incomplete block header", 8},
        {"broken connection", "evil", broken, "receiving stopped in the middle of f.txt; removed", 4, "3"},
        {"bytes in an empty folder's block", "evil",
         peerSending(
             {{"empty/", "folder", "xyz", 21}, {"f.txt", "2", "ok", 21}, {"f.txt", "sha256", okDigest, 20}}),
         "dropped 3 bytes that belong to no file (a block named 'empty/' that marks an empty folder)", 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // The scripted peer connects without waiting for the announce.
        Child receiver = dyad(1, {"receive", "--id", "nothing", "--accept", c.accept, "--dir", "/tmp/in",
                                  "--timeout", c.limit, "--overwrite"});
        Child peer = lan->spawn(2, c.sender);
        peer.wait();
        EXPECT_EQ(receiver.wait(), c.exit) << receiver.output();
        EXPECT_TRUE(has(receiver.output(), c.message)) << receiver.output();
    }
}

TEST_F(Dyad, AFullDiskNamesTheFileAndTheReason) {
    writeFile(lan->host(2).tmp() + "/big.bin", pattern(1u << 20, 4));
    // A file system of 256 KiB under the receiving directory, for the receiver alone.
    Child receiver = lan->spawn(1, {"/bin/sh", "-c", "mount -t tmpfs -o size=256k full /tmp/in && exec \"$@\"",
                                    "sh", DYADC_TEST_DYAD, "receive", "--id", "full", "--accept", "ws2", "--dir",
                                    "/tmp/in", "--timeout", "20", "--block-size", "65536"});
    Child sender = dyad(2, {"send", "--id", "full", "--timeout", "20", "--block-size", "65536", "/tmp/big.bin"});
    EXPECT_EQ(receiver.wait(), 8) << receiver.output();
    sender.wait();
    EXPECT_TRUE(has(receiver.output(), "cannot write big.bin in /tmp/in: No space left on device"))
        << receiver.output();
    EXPECT_FALSE(has(receiver.output(), "dyad-part")) << receiver.output();
}

TEST_F(Dyad, AReceivedFileIsOnDiskBeforeItGetsItsName) {
    writeFile(lan->host(2).tmp() + "/a.txt", "a");
    // The leak check of a sanitizer build cannot run under strace.
    Child receiver = lan->spawn(
        1, {"env", "ASAN_OPTIONS=detect_leaks=0", "strace", "-f", "-y", "-o", "/tmp/calls.txt", "-e",
            "trace=fsync,fdatasync,syncfs,rename,renameat,renameat2,link,linkat", DYADC_TEST_DYAD, "receive",
            "--id", "sync", "--accept", "ws2", "--dir", "/tmp/in", "--timeout", "20"});
    Child sender = dyad(2, {"send", "--id", "sync", "--timeout", "20", "/tmp/a.txt"});
    EXPECT_EQ(sender.wait(), 0) << sender.output();
    EXPECT_EQ(receiver.wait(), 0) << receiver.output();
    const std::string calls = readFile(lan->host(1).tmp() + "/calls.txt");
    // The batch's bytes (the file system of the receiving folder), the name,
    // the name in its folder.
    const size_t flushed = calls.find("syncfs(");
    const size_t named = calls.find(", \"a.txt\"");
    const size_t folder = calls.find("fsync(", named == std::string::npos ? 0 : named);
    ASSERT_TRUE(flushed < named && named < folder && folder != std::string::npos) << calls;
    EXPECT_NE(calls.substr(folder, calls.find('\n', folder) - folder).find("</tmp/in>)"), std::string::npos)
        << calls;
}

TEST_F(Dyad, ProgressIsABarOnATerminalAndLinesOtherwise) {
    writeFile(lan->host(2).tmp() + "/big.bin", pattern(48u << 20, 3));
    // Not a terminal: plain lines.
    Child receiver = dyad(1,
                          {"receive", "--id", "plain", "--accept", "ws2", "--dir", "/tmp/in", "--timeout", "30"});
    Child sender = dyad(2, {"send", "--id", "plain", "--timeout", "30", "/tmp/big.bin"});
    EXPECT_EQ(sender.wait(), 0);
    EXPECT_EQ(receiver.wait(), 0);
    EXPECT_TRUE(has(sender.output(), "sending: 48.0 MiB / 48.0 MiB, 1 / 1 file at ")) << sender.output();
    EXPECT_TRUE(has(sender.output(), "/s after the first block)")) << sender.output();
    EXPECT_FALSE(has(sender.output(), "\r"));
    // After a first block that held nearly everything, the rate of the rest
    // measures nothing and is left out.
    writeFile(lan->host(2).tmp() + "/tail.txt", "the end");
    Child oneBlockReceiver = dyad(1, {"receive", "--id", "one", "--accept", "ws2", "--dir", "/tmp/in", "--timeout",
                                      "30", "--quiet", "--overwrite"});
    Child oneBlockSender = dyad(2, {"send", "--id", "one", "--timeout", "30", "--quiet", "--block-size",
                                    std::to_string(48u << 20), "/tmp/big.bin", "/tmp/tail.txt"});
    EXPECT_EQ(oneBlockSender.wait(), 0) << oneBlockSender.output();
    EXPECT_EQ(oneBlockReceiver.wait(), 0) << oneBlockReceiver.output();
    EXPECT_TRUE(has(oneBlockSender.output(), "sent 2 files, 48.0 MiB in ")) << oneBlockSender.output();
    EXPECT_FALSE(has(oneBlockSender.output(), "after the first block")) << oneBlockSender.output();

    // A terminal (a pseudo-terminal made by script): a bar redrawn in place.
    Child quietReceiver = dyad(1, {"receive", "--id", "bar", "--accept", "ws2", "--dir", "/tmp/in", "--timeout",
                                   "30", "--quiet", "--overwrite"});
    Child barSender = lan->spawn(
        2, {"script", "-qfec", std::string(DYADC_TEST_DYAD) + " send --id bar --timeout 30 /tmp/big.bin",
            "/dev/null"});
    EXPECT_EQ(barSender.wait(), 0);
    EXPECT_EQ(quietReceiver.wait(), 0);
    EXPECT_TRUE(
        has(barSender.output(), "\rsending [##############################] 48.0 MiB / 48.0 MiB, 1 / 1 file"))
        << barSender.output();
    EXPECT_FALSE(has(barSender.output(), "\x1b")) << "drawn without escapes, which not every console takes";
    EXPECT_FALSE(has(quietReceiver.output(), "receiving")) << "--quiet shows no progress";
}

TEST_F(Dyad, BadArgumentsGiveUsageHelp) {
    std::string output;
    EXPECT_EQ(lan->run(1, {DYADC_TEST_DYAD, "send", "file"}, {}, &output), 2);
    EXPECT_TRUE(has(output, "send needs --id or --code")) << output;
    EXPECT_EQ(lan->run(1, {DYADC_TEST_DYAD, "pair", "--id", "x", "--role", "both"}, {}, &output), 2);
    EXPECT_EQ(lan->run(1, {DYADC_TEST_DYAD, "receive", "--id", "x", "--log-level", "7"}, {}, &output), 2);
    EXPECT_EQ(lan->run(1, {DYADC_TEST_DYAD, "receive", "--id", std::string(64, 'i')}, {}, &output), 2);
    EXPECT_EQ(lan->run(1, {DYADC_TEST_DYAD}, {}, &output), 2);
    EXPECT_EQ(lan->run(1, {DYADC_TEST_DYAD, "send", "--id", "x", "--checksum", "md5", "/tmp/a"}, {}, &output), 2);
    EXPECT_EQ(lan->run(1, {DYADC_TEST_DYAD, "send", "--id", "x", "/tmp/missing"}, {}, &output), 8);
    EXPECT_TRUE(has(output, "/tmp/missing is not a readable file")) << output;
    EXPECT_EQ(lan->run(1, {DYADC_TEST_DYAD, "--help"}, {}, &output), 0);
    EXPECT_TRUE(has(output, "Exit status: 0 done"));
}

TEST_F(Dyad, ExampleHostProgramOfTheReadmeWorks) {
    Child receiver = lan->spawn(1, {DYADC_TEST_EXAMPLE, "receive", "example"});
    Child sender = lan->spawn(2, {DYADC_TEST_EXAMPLE, "send", "example"});
    EXPECT_EQ(sender.wait(), 0) << sender.output();
    EXPECT_EQ(receiver.wait(), 0) << receiver.output();
    EXPECT_EQ(sender.output(), "sent: 0\n");
    EXPECT_EQ(receiver.output(),
              "pairing with ws2\nreceived greeting (text, type 7): hello from the other workstation\n");
}

// The lines of `output` that hold `text`.
std::vector<std::string> linesWith(const std::string& output, const std::string& text) {
    std::vector<std::string> found;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (line.find(text) != std::string::npos) found.push_back(line);
    }
    return found;
}

TEST_F(Dyad, VersionNamesDyadsOwnAndTheLoadedLibrarys) {
    // A library whose version record says 2.7, found first on the library path.
    ASSERT_EQ(system(("mkdir -p " + lan->host(1).tmp() + "/lib").c_str()), 0);
    writeFile(lan->host(1).tmp() + "/lib/libdyadc.so.2", libraryWithVersion(2, 7));
    std::string output;
    EXPECT_EQ(lan->run(1, {DYADC_TEST_DYAD, "--version"}, {"LD_LIBRARY_PATH=/tmp/lib"}, &output), 0);
    EXPECT_EQ(output, "dyad " + std::to_string(DYAD_VERSION_MAJOR) + "." + std::to_string(DYAD_VERSION_MINOR) +
                          "\ndyadc library 2.7, loaded from /tmp/lib/libdyadc.so.2\n");
}

// dyad listen shows each announce that reaches the workstation for its time,
// marks those with its --id, and ends 0 only when one of them came; an
// Initiator of the same workstation receives the announces meanwhile too.
TEST_F(Dyad, ListenShowsEveryAnnounceAndMarksThoseWithItsIdentifier) {
    const std::string hostile = "OTHER\x1b[2K\r";  // shown escaped
    struct Case {
        const char* what;
        bool responder;  // dyad receive --id LAB7 announces in workstation 2
        bool other;      // and a peer announces `hostile`
        int exit;
        std::string message;
    } cases[] = {
        {"its identifier and another", true, true, 0,
         "announces with LAB7 arrived in 3 s, from 192.168.10.2 on eth0 192.168.10.1"},
        {"another identifier only", false, true, 11,
         "dyad: no announce with LAB7 arrived in 3 s; announces with other identifiers did"},
        {"nothing", false, false, 11, "dyad: no announce arrived in 3 s"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Child initiator;
        if (c.responder) {
            initiator = dyad(1, {"pair", "--role", "initiator", "--id", "NOBODY", "--timeout", "5", "--log",
                                 "/tmp/initiator.log", "--log-level", "2"});
        }
        Child listen = dyad(1, {"listen", "--id", "LAB7", "--timeout", "3"});
        ASSERT_TRUE(listen.waitForOutput("dyad: listening on eth0 192.168.10.1 for 3 s")) << listen.output();
        Child responder, other;
        if (c.responder) responder = dyad(2, {"receive", "--id", "LAB7", "--accept", "nobody", "--timeout", "3"});
        if (c.other) other = lan->spawn(2, {helperPath("test-peer"), "announce", hostile, "192.168.10.2", "2"});
        EXPECT_EQ(listen.wait(), c.exit) << listen.output();
        const std::string output = listen.output();
        EXPECT_TRUE(has(output, c.message)) << output;
        const auto ours = linesWith(output, "'LAB7' from 192.168.10.2 on eth0 192.168.10.1");
        const auto theirs = linesWith(output, "'OTHER\\x1b[2K\\x0d' from 192.168.10.2 on eth0 192.168.10.1");
        EXPECT_EQ(ours.empty(), !c.responder) << output;
        EXPECT_EQ(theirs.empty(), !c.other) << output;
        for (const std::string& line : ours) EXPECT_EQ(line[0], '*') << line;
        for (const std::string& line : theirs) EXPECT_EQ(line[0], ' ') << line;
        EXPECT_TRUE(terminalSafe(output)) << output;
        if (c.responder) {
            EXPECT_EQ(initiator.wait(), 4);
            EXPECT_TRUE(logHas(lan->host(1).tmp() + "/initiator.log",
                               "Rejected source workstation: 192.168.10.2 with identifier: LAB7"));
        }
    }
}

// The addresses that dyad listen says it listens on.
std::set<std::string> listenedAddresses(const std::string& output) {
    std::set<std::string> found;
    const auto header = linesWith(output, "dyad: listening on ");
    if (header.empty()) return found;
    std::istringstream items(header[0].substr(std::string("dyad: listening on ").size()));
    for (std::string item; std::getline(items, item, ',');) {
        std::istringstream words(item);
        std::string name, address;
        words >> name >> address;
        found.insert(address);
    }
    return found;
}

TEST_F(Dyad, ListenUsesTheInterfacesOfTheLibrarysInitiatorForEveryMask) {
    Lan::Options options;
    options.hosts = 1;
    options.secondSegment = options.down = options.noMulticast = options.pointToPoint = true;
    options.extra = 1;
    lan = std::make_unique<Lan>(options);
    ASSERT_TRUE(lan->ok());
    const std::vector<std::string> masks{"", "10.0.5.0", "192.168.10.1", "172.0.0.0", "10.0", "172.18.0.0"};
    std::vector<Child> listens, initiators;
    for (size_t i = 0; i < masks.size(); ++i) {
        std::vector<std::string> listen{DYADC_TEST_DYAD, "listen", "--id", "x", "--timeout", "1"};
        std::vector<std::string> pair{DYADC_TEST_DYAD, "pair", "--role",    "initiator",
                                      "--id",          "x",    "--timeout", "1"};
        pair.insert(pair.end(), {"--log", "/tmp/" + std::to_string(i) + ".log", "--log-level", "2"});
        if (!masks[i].empty()) {
            for (auto* arguments : {&listen, &pair}) arguments->insert(arguments->end(), {"--mask", masks[i]});
        }
        listens.push_back(lan->spawn(1, listen));
        // Each with a Session of its own: the mask lives there.
        initiators.push_back(lan->spawn(1, pair, {"DYADC_SESSION=mask" + std::to_string(i)}));
    }
    for (size_t i = 0; i < masks.size(); ++i) {
        SCOPED_TRACE("mask '" + masks[i] + "'");
        const int status = listens[i].wait();
        initiators[i].wait();
        const std::string log = lan->host(1).tmp() + "/" + std::to_string(i) + ".log";
        EXPECT_TRUE(logHas(log, "DyadOpen initiated")) << "a limit of 1 second still gives the library a second";
        std::set<std::string> used;
        for (const std::string& message : logMessages(log)) {
            if (message.rfind("Address List, ", 0) == 0) used.insert(message.substr(14));
        }
        EXPECT_EQ(listenedAddresses(listens[i].output()), used) << listens[i].output();
        EXPECT_EQ(status, used.empty() ? 6 : 11) << listens[i].output();
    }
    std::string output;
    EXPECT_EQ(lan->run(1, {DYADC_TEST_DYAD, "listen", "--id", "x", "--mask", "1234.5"}, {}, &output), 6);
    EXPECT_TRUE(has(output, "the address mask is not usable")) << output;
}

// A transfer's one stream, crafted: made with the stream's encoder, cut into
// blocks and sent by the scripted peer, damaged as each case says.
struct StreamFile {
    std::string path, content;
    bool withdrawn = false;
};
struct Stream {
    std::vector<StreamFile> files;
    std::vector<std::string> folders;
    size_t blockSize = SIZE_MAX;  // one lone type 20 block unless smaller
    std::string variant = "1";
    size_t flip = SIZE_MAX;  // the offset of a byte to damage
    std::string flipAt;      // or the first byte of this content
    size_t cutBefore = 0;    // bytes left off the end
};

// The stream's bytes, damaged and cut as `spec` says.
std::string streamBytes(const Stream& spec) {
    using namespace dyad::stream;
    uint64_t bytes = 0;
    for (const StreamFile& file : spec.files) bytes += file.content.size();
    std::vector<uint8_t> buffer(1u << 20);
    StreamEncoder encoder(StreamChecksum::xxh128, spec.files.size(), bytes);
    encoder.give(buffer.data(), buffer.size());
    for (const StreamFile& file : spec.files) {
        EXPECT_TRUE(encoder.beginFile(file.path, file.content.size(), FileTime{981173106, 123456789}));
        encoder.content(reinterpret_cast<const uint8_t*>(file.content.data()), file.content.size());
        dyad::FileHash hash(dyad::Checksum::xxh128);
        hash.update(file.content.data(), file.content.size());
        const std::string hex = hash.finish();
        std::vector<uint8_t> digest;
        for (size_t i = 0; i < hex.size(); i += 2)
            digest.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
        EXPECT_TRUE(encoder.endFile(file.withdrawn ? FileStatus::withdrawn : FileStatus::ok, digest));
    }
    for (const std::string& folder : spec.folders) EXPECT_TRUE(encoder.folder(folder));
    EXPECT_TRUE(encoder.end());
    EXPECT_TRUE(encoder.done());
    std::string stream(reinterpret_cast<const char*>(buffer.data()), encoder.filled() - spec.cutBefore);
    const size_t flip = spec.flipAt.empty() ? spec.flip : stream.find(spec.flipAt);
    if (flip < stream.size()) stream[flip] = static_cast<char>(stream[flip] ^ 0x20);
    return stream;
}

// Bytes in test-peer's escapes.
std::string escapedBytes(std::string_view bytes) {
    std::string data;
    char escape[8];
    for (unsigned char byte : bytes) {
        std::snprintf(escape, sizeof escape, "\\x%02x", byte);
        data += escape;
    }
    return data;
}

std::vector<Block> streamBlocks(const Stream& spec) {
    const std::string stream = streamBytes(spec);
    std::vector<Block> blocks;
    for (size_t at = 0; at < stream.size(); at += spec.blockSize) {
        const bool last = stream.size() - at <= spec.blockSize;
        blocks.push_back({"dyad:stream", spec.variant,
                          escapedBytes(std::string_view(stream).substr(at, spec.blockSize)),
                          last ? 20 : (at == 0 ? 21 : 22)});
    }
    return blocks;
}

TEST_F(Dyad, AStreamOfManyFilesRefusesOnlyTheFilesAtFaultAndStopsAtFaultsOfItsOwn) {
    const std::vector<StreamFile> abc{{"a.txt", "AAAAAAAAAA"}, {"b.txt", "BBBBBBBBBB"}, {"c.txt", "CCCCCCCCCC"}};
    struct Case {
        const char* what;
        Stream stream;
        int exit;
        std::set<std::string> stored;
        std::string message;
    } cases[] = {
        {"a tree in blocks of 40 bytes",
         {{{"a.txt", "AAAAAAAAAA"}, {"sub/deep/d.txt", std::string(100, 'd')}}, {"empty/inner"}, 40},
         0,
         {"a.txt", "sub", "sub/deep", "sub/deep/d.txt", "empty", "empty/inner"},
         "received sub/deep/d.txt (100 B, XXH3-128 verified)"},
        {"a refused name amid one block",
         {{{"a.txt", "AAAAAAAAAA"}, {"bad:name.txt", "BBBBBBBBBB"}, {"c.txt", "CCCCCCCCCC"}}},
         8,
         {"a.txt", "c.txt"},
         "refused the file name 'bad:name.txt'"},
        {"a damaged content byte amid one block",
         {abc, {}, SIZE_MAX, "1", SIZE_MAX, "BBBBB"},
         10,
         {"a.txt", "c.txt"},
         "b.txt failed its XXH3-128 check"},
        {"a withdrawn file",
         {{abc[0], {"b.txt", "BBBBBBBBBB", true}, abc[2]}},
         8,
         {"a.txt", "c.txt"},
         "refused b.txt: the sender withdrew it"},
        {"no end record",
         {abc, {}, 30, "1", SIZE_MAX, "", 25},
         5,
         {"a.txt", "b.txt", "c.txt"},
         "before its end record; receiving stopped"},
        {"cut amid a file",
         {abc, {}, 30, "1", SIZE_MAX, "", 40},
         5,
         {"a.txt", "b.txt"},
         "before its end record; c.txt is removed; receiving stopped"},
        {"a damaged header", {abc, {}, SIZE_MAX, "1", 0}, 10, {}, "the stream is damaged at byte 0"},
        {"an unknown kind",
         {abc, {}, SIZE_MAX, "2"},
         8,
         {},
         "a transfer of a kind this dyad does not know ('2'); nothing of it is stored"},
    };
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(received);
        std::filesystem::create_directories(received);
        const std::string id = "stream" + std::to_string(++round);
        Child receiver = dyad(1,
                              {"receive", "--id", id, "--accept", "evil", "--dir", "/tmp/in", "--timeout", "20"});
        Child peer = lan->spawn(2, peerSending(streamBlocks(c.stream)));
        EXPECT_EQ(receiver.wait(), c.exit) << receiver.output();
        peer.wait();
        EXPECT_TRUE(has(receiver.output(), c.message)) << receiver.output();
        EXPECT_EQ(treeOf(received), c.stored) << receiver.output();
        for (const std::string& path : c.stored) {
            if (path == "a.txt") EXPECT_EQ(readFile(received + "/a.txt"), "AAAAAAAAAA");
        }
        if (c.stored.count("a.txt") != 0) EXPECT_EQ(modifiedNanoseconds(received + "/a.txt"), 981173106123456789);
    }
}

// Private transfers (--code) between two dyads: a folder and a lone small
// file (a one-block stream, sent as two sealed halves) arrive under a code
// that the receiver made; a code with a typo is refused before pairing; a
// wrong code is another identifier, so the two never pair.
TEST_F(Dyad, APrivateTransferArrivesOnlyUnderTheReceiversCode) {
    const std::string out = lan->host(2).tmp();
    std::filesystem::create_directories(out + "/tree/sub");
    writeFile(out + "/tree/a.bin", pattern(70000, 1));
    writeFile(out + "/tree/sub/b.txt", "hello\n");
    std::filesystem::create_directories(out + "/tree/empty");
    writeFile(out + "/lone.txt", "a lone file\n");
    const struct {
        std::string path;
        std::set<std::string> stored;
    } rounds[] = {{"/tmp/tree", {"tree", "tree/a.bin", "tree/sub", "tree/sub/b.txt", "tree/empty"}},
                  {"/tmp/lone.txt", {"lone.txt"}}};
    for (const auto& round : rounds) {
        SCOPED_TRACE(round.path);
        std::filesystem::remove_all(received);
        std::filesystem::create_directories(received);
        Child receiver = dyad(1, {"receive", "--code", "--accept", "ws2", "--dir", "/tmp/in", "--timeout", "30"});
        const std::string shown = "the code for this transfer: ";
        ASSERT_TRUE(receiver.waitForOutput(shown)) << receiver.output();
        std::string code;
        ASSERT_TRUE(receiver.waitForOutput("\n")) << receiver.output();
        code = receiver.output().substr(receiver.output().find(shown) + shown.size(), 27);  // 7 groups of 3
        Child sender = dyad(2, {"send", "--code", code, "--timeout", "30", "--block-size", "16384", round.path});
        EXPECT_EQ(sender.wait(), 0) << sender.output();
        EXPECT_EQ(receiver.wait(), 0) << receiver.output();
        EXPECT_EQ(treeOf(received), round.stored) << receiver.output();
        if (round.stored.count("tree/a.bin") != 0)
            EXPECT_TRUE(readFile(received + "/tree/a.bin") == pattern(70000, 1));
    }
    EXPECT_EQ(readFile(received + "/lone.txt"), "a lone file\n");
    std::string output;
    // One symbol changed: its check symbol no longer matches.
    dyad::Code typo = dyad::makeCode();
    typo.symbols[3] = typo.symbols[3] == '7' ? '8' : '7';
    EXPECT_EQ(
        lan->run(2, {DYADC_TEST_DYAD, "send", "--code", std::string(typo.text()), "/tmp/lone.txt"}, {}, &output),
        2);
    EXPECT_TRUE(has(output, "nothing was sent")) << output;
    EXPECT_EQ(lan->run(2, {DYADC_TEST_DYAD, "send", "--code", "x", "--id", "y", "/tmp/lone.txt"}, {}, &output), 2);
    std::filesystem::remove_all(received);
    std::filesystem::create_directories(received);
    Child receiver = dyad(1, {"receive", "--code", dyad::showCode(dyad::makeCode()), "--accept", "ws2", "--dir",
                              "/tmp/in", "--timeout", "5"});
    Child sender = dyad(2,
                        {"send", "--code", dyad::showCode(dyad::makeCode()), "--timeout", "5", "/tmp/lone.txt"});
    EXPECT_EQ(sender.wait(), 4) << sender.output();
    EXPECT_EQ(receiver.wait(), 4) << receiver.output();
    EXPECT_TRUE(treeOf(received).empty());
}

// A private transfer's blocks as the sender seals them: the stream of
// `files` cut into payloads of `payload` bytes, each sealed under `code`.
struct Sealed {
    int type;
    std::string data;
};
std::vector<Sealed> sealedBlocks(const dyad::Code& code, const std::vector<StreamFile>& files, size_t payload) {
    const std::string stream = streamBytes({files});
    dyad::Sealer sealer(code);
    std::vector<Sealed> blocks;
    for (size_t at = 0; at < stream.size(); at += payload) {
        const bool last = stream.size() - at <= payload;
        const int type = last ? 20 : (at == 0 ? 21 : 22);
        const std::string part = stream.substr(at, payload);
        std::string data(sealer.front(), '\0');
        data += part;
        data.append(dyad::tagSize, '\0');
        EXPECT_TRUE(sealer.seal({type, "dyad:stream", "1-sealed"},
                                {reinterpret_cast<uint8_t*>(data.data()), data.size()}));
        blocks.push_back({type, data});
    }
    return blocks;
}

TEST_F(Dyad, APrivateTransferThatDoesNotAuthenticateStoresNothingFromWhereItFails) {
    const std::vector<StreamFile> abc{{"a.txt", "AAAAAAAAAA"}, {"b.txt", "BBBBBBBBBB"}, {"c.txt", "CCCCCCCCCC"}};
    const dyad::Code code = dyad::makeCode();
    // 30 bytes of stream a block: a.txt's record ends in the third block, the
    // end record in the eighth and last.
    const std::vector<Sealed> sealed = sealedBlocks(code, abc, 30);
    ASSERT_EQ(sealed.size(), 8u);
    const auto blocksOf = [](std::vector<Sealed> chosen, const std::string& variant = "1-sealed") {
        std::vector<Block> blocks;
        for (const Sealed& block : chosen)
            blocks.push_back({"dyad:stream", variant, escapedBytes(block.data), block.type});
        return blocks;
    };
    std::vector<Sealed> flipped = sealed, dropped = sealed, swapped = sealed;
    flipped[1].data[40] = static_cast<char>(flipped[1].data[40] ^ 1);
    dropped.erase(dropped.begin() + 1);
    std::swap(swapped[1], swapped[2]);
    const std::vector<Sealed> cut(sealed.begin(), sealed.end() - 1);
    const std::set<std::string> all{"a.txt", "b.txt", "c.txt"};
    struct Case {
        const char* what;
        std::vector<Block> blocks;
        std::string code;  // the receiver's
        int exit;
        std::set<std::string> stored;
        std::string message;
    } cases[] = {
        {"intact", blocksOf(sealed), dyad::showCode(code), 0, all, "received 3 files"},
        {"a bit flipped", blocksOf(flipped), dyad::showCode(code), 12, {}, "block 2 does not authenticate"},
        {"a block dropped", blocksOf(dropped), dyad::showCode(code), 12, {}, "block 2 does not authenticate"},
        {"two blocks swapped", blocksOf(swapped), dyad::showCode(code), 12, {}, "block 2 does not authenticate"},
        // Every file was complete, and authentic, before the cut.
        {"cut before the last block", blocksOf(cut), dyad::showCode(code), 12, all, "it was cut short"},
        {"replayed to another code",
         blocksOf(sealed),
         dyad::showCode(dyad::makeCode()),
         12,
         {},
         "block 1 does not authenticate"},
        {"a plain stream", streamBlocks({abc, {}, 30}), dyad::showCode(code), 12, {}, "no private transfer"},
        {"sealed, to a receiver without a code", blocksOf(sealed), "", 8, {}, "dyad receive --code receives it"},
    };
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(received);
        std::filesystem::create_directories(received);
        std::vector<std::string> arguments{"receive", "--accept", "evil", "--dir", "/tmp/in", "--timeout", "20"};
        if (c.code.empty()) {
            arguments.insert(arguments.end(), {"--id", "sealed" + std::to_string(++round)});
        } else {
            arguments.insert(arguments.end(), {"--code", c.code});
        }
        Child receiver = dyad(1, arguments);
        ASSERT_TRUE(receiver.waitForOutput(c.code.empty() ? "" : "the code for this transfer"))
            << receiver.output();
        Child peer = lan->spawn(2, peerSending(c.blocks));
        EXPECT_EQ(receiver.wait(), c.exit) << receiver.output();
        peer.wait();
        EXPECT_TRUE(has(receiver.output(), c.message)) << receiver.output();
        EXPECT_EQ(treeOf(received), c.stored) << receiver.output();
        EXPECT_TRUE(partFiles().empty());
    }
}

// What a listener on the LAN sees of a transfer: with --code neither a file
// name nor a byte of a file's contents; without it (the control) both.
TEST_F(Dyad, AListenerOnTheLanSeesNoNameAndNoContentOfAPrivateTransfer) {
    if (std::system("command -v tshark >/dev/null 2>&1") != 0) GTEST_SKIP() << "tshark is not installed";
    const std::string out = lan->host(2).tmp();
    const std::string name = "name-seen-only-in-the-clear.txt";
    const std::string content = "content that only a plain transfer shows " + pattern(3000, 5);
    std::filesystem::create_directories(out + "/folder");
    writeFile(out + "/folder/" + name, content);
    for (const bool sealed : {true, false}) {
        SCOPED_TRACE(sealed ? "--code" : "--id");
        std::filesystem::remove_all(received);
        std::filesystem::create_directories(received);
        Child capture = lan->spawn(
            1, {"tshark", "-q", "-n", "-i", "eth0", "-f", "port 8181", "-w", "/tmp/capture.pcap"}, {"HOME=/tmp"});
        ASSERT_TRUE(capture.waitForOutput("Capturing on")) << capture.output();
        const std::string code = dyad::showCode(dyad::makeCode());
        const std::vector<std::string> pairing = sealed ? std::vector<std::string>{"--code", code}
                                                        : std::vector<std::string>{"--id", "capture"};
        std::vector<std::string> receive{"receive", "--accept", "ws2", "--dir", "/tmp/in", "--timeout", "30"};
        std::vector<std::string> send{"send", "--timeout", "30", "/tmp/folder"};
        receive.insert(receive.end(), pairing.begin(), pairing.end());
        send.insert(send.end(), pairing.begin(), pairing.end());
        Child receiver = dyad(1, receive);
        Child sender = dyad(2, send);
        EXPECT_EQ(sender.wait(), 0) << sender.output();
        EXPECT_EQ(receiver.wait(), 0) << receiver.output();
        EXPECT_EQ(readFile(received + "/folder/" + name), content);
        // The sender's last line, "quit", ends the pairing: once the capture
        // holds it, it holds the whole transfer.
        const std::string file = lan->host(1).tmp() + "/capture.pcap";
        (void)test::waitUntil([&] { return has(readFile(file), "quit"); }, seconds(30));
        capture.kill(SIGINT);
        ASSERT_EQ(capture.wait(seconds(30)), 0) << capture.output();
        const std::string seen = readFile(file);
        ASSERT_TRUE(has(seen, "quit")) << capture.output();
        EXPECT_EQ(has(seen, name), !sealed);
        // The content's slices of 32 bytes: a packet boundary may cut one.
        size_t slicesSeen = 0;
        for (size_t at = 0; at + 32 <= content.size(); at += 32) slicesSeen += has(seen, content.substr(at, 32));
        if (sealed) {
            EXPECT_EQ(slicesSeen, 0u);
        } else {
            EXPECT_GT(slicesSeen, content.size() / 64);
        }
    }
}

}  // namespace
}  // namespace dyadc::test
