// The Wireshark dissector (dyadc.lua) on real traffic: two simulated
// workstations pair and move blocks while tshark captures on the Responder's
// workstation; the capture is then decoded with the dissector and every
// header, block length, handshake line, announce and quit is checked against
// what was sent. A scripted peer supplies odd and hostile bytes.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/lan.h"

namespace dyadc::test {
namespace {

using namespace std::chrono;
using Values = std::vector<std::string>;

bool tsharkWithLua() {
    FILE* pipe = popen("tshark -v 2>/dev/null", "r");
    if (pipe == nullptr) return false;
    std::string text;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, got);
    return pclose(pipe) == 0 && text.find("with Lua") != std::string::npos;
}

// The fields taken from every frame; the Info column comes last since it may
// hold commas, which separate the values of one field.
const Values decodedFields = {
    "frame.number",      "tcp.stream",           "dyadc.direction",  "dyadc.connection", "dyadc.identifier",
    "dyadc.name",        "dyadc.version",        "dyadc.command",    "dyadc.first",      "dyadc.second",
    "dyadc.length",      "dyadc.type",           "dyadc.reply_code", "dyadc.quit_code",  "dyadc.data_offset",
    "dyadc.data_length", "dyadc.put.incomplete", "dyadc.line.long",  "dyadc.refused",    "dyadc.update",
    "_ws.lua.error",     "_ws.malformed.expert", "_ws.col.Info"};

struct Frame {
    std::map<std::string, Values> values;
    Values operator[](const std::string& field) const {
        auto found = values.find(field);
        return found == values.end() ? Values{} : found->second;
    }
    std::string one(const std::string& field) const {
        Values all = (*this)[field];
        return all.empty() ? "" : all.front();
    }
};

struct Decoded {
    std::vector<Frame> frames;

    // Every value of `field` in frame order, of one TCP stream when given.
    Values all(const std::string& field, const std::string& stream = "") const {
        Values result;
        for (const Frame& frame : frames) {
            if (!stream.empty() && frame.one("tcp.stream") != stream) continue;
            for (const std::string& value : frame[field]) result.push_back(value);
        }
        return result;
    }
    // The TCP streams of one kind of connection, in order of appearance.
    Values streams(const std::string& kind) const {
        Values result;
        for (const Frame& frame : frames) {
            const std::string stream = frame.one("tcp.stream");
            if (frame.one("dyadc.connection") != kind) continue;
            if (result.empty() || result.back() != stream) result.push_back(stream);
        }
        return result;
    }
    const Frame* find(const std::string& field, const std::string& value) const {
        for (const Frame& frame : frames) {
            for (const std::string& v : frame[field]) {
                if (v == value) return &frame;
            }
        }
        return nullptr;
    }
};

// One "put" header's length and the bytes marked as its block after it on the
// same connection and direction.
struct Block {
    std::string where;
    uint64_t length;
    uint64_t marked;
    bool contiguous;
};

std::vector<Block> blocks(const Decoded& decoded) {
    std::vector<std::string> order;
    std::map<std::string, std::vector<uint64_t>> lengths;
    std::map<std::string, std::vector<std::pair<uint64_t, uint64_t>>> pieces;
    for (const Frame& frame : decoded.frames) {
        if (frame.one("tcp.stream").empty()) continue;
        const std::string key = "stream " + frame.one("tcp.stream") + ", " + frame.one("dyadc.direction");
        if (std::find(order.begin(), order.end(), key) == order.end()) order.push_back(key);
        for (const std::string& length : frame["dyadc.length"]) lengths[key].push_back(std::stoull(length));
        Values offsets = frame["dyadc.data_offset"], counts = frame["dyadc.data_length"];
        EXPECT_EQ(offsets.size(), counts.size());
        for (size_t i = 0; i < offsets.size() && i < counts.size(); ++i) {
            pieces[key].emplace_back(std::stoull(offsets[i]), std::stoull(counts[i]));
        }
    }
    std::vector<Block> result;
    for (const std::string& key : order) {
        const auto& marked = pieces[key];
        size_t next = 0;
        for (uint64_t length : lengths[key]) {
            Block block{key, length, 0, true};
            while (block.marked < length && next < marked.size()) {
                block.contiguous = block.contiguous && marked[next].first == block.marked;
                block.marked += marked[next++].second;
            }
            result.push_back(block);
        }
        if (next < marked.size()) result.push_back(Block{key + " (bytes after every block)", 0, 1, false});
    }
    return result;
}

Values split(const std::string& text, char separator) {
    Values parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator)) parts.push_back(part);
    if (!text.empty() && text.back() == separator) parts.push_back("");
    return parts;
}

class Dissector : public testing::Test {
protected:
    void SetUp() override {
        if (!tsharkWithLua()) {
            GTEST_SKIP()
                << "tshark with Lua is not installed (apt-get install tshark): the dissector is not tested";
        }
        lan = std::make_unique<Lan>();
        ASSERT_TRUE(lan->ok());
        for (int h = 1; h <= 2; ++h) installLibrary(h, 2, 4);
        capture = lan->spawn(1, {"tshark", "-q", "-n", "-i", "eth0", "-f", "port 8181", "-w", "/tmp/capture.pcap"},
                             {"HOME=/tmp"});
        ASSERT_TRUE(capture.waitForOutput("Capturing on")) << capture.output();
    }

    void installLibrary(int h, uint32_t major, uint32_t minor) {
        writeFile(lan->host(h).system() + "/libdyadc.so", libraryWithVersion(major, minor));
    }
    Child host(int h, Values steps) {
        steps.insert(steps.begin(), helperPath("test-host"));
        return lan->spawn(h, steps);
    }
    Child peer(int h, Values steps) {
        steps.insert(steps.begin(), helperPath("test-peer"));
        return lan->spawn(h, steps);
    }

    void stopCapture() {
        // Give the capture a moment to write the last packets.
        std::this_thread::sleep_for(seconds(1));
        capture.kill(SIGINT);
        ASSERT_EQ(capture.wait(seconds(30)), 0) << capture.output();
        // DYADC_TEST_CAPTURES=DIR keeps each test's capture, to look at.
        if (const char* keep = std::getenv("DYADC_TEST_CAPTURES")) {
            const std::string name = testing::UnitTest::GetInstance()->current_test_info()->name();
            writeFile(std::string(keep) + "/" + name + ".pcap", readFile(lan->host(1).tmp() + "/capture.pcap"));
        }
    }

    // Decodes a capture file of the capturing workstation with tshark and
    // the dissector given on the command line, or, with `home`, the one that
    // Wireshark finds among the plugins of that home directory.
    Decoded decode(const Values& options = {}, const std::string& file = "/tmp/capture.pcap",
                   const std::string& home = "") {
        Values argv{"sh", "-c", "exec tshark \"$@\" >/tmp/decoded.txt", "tshark", "-n", "-r", file};
        if (home.empty()) argv.push_back(std::string("-X") + "lua_script:" + DYADC_TEST_DISSECTOR);
        argv.insert(argv.end(), options.begin(), options.end());
        argv.insert(argv.end(), {"-Y", "dyadc", "-T", "fields", "-E", "occurrence=a"});
        for (const std::string& field : decodedFields) argv.insert(argv.end(), {"-e", field});
        std::string output;
        EXPECT_EQ(lan->run(1, argv, {"HOME=" + (home.empty() ? std::string("/tmp") : home)}, &output), 0)
            << output;
        EXPECT_EQ(output.find("Lua"), std::string::npos) << output;

        Decoded decoded;
        for (const std::string& line : split(readFile(lan->host(1).tmp() + "/decoded.txt"), '\n')) {
            if (line.empty()) continue;
            Values columns = split(line, '\t');
            EXPECT_EQ(columns.size(), decodedFields.size()) << line;
            Frame frame;
            for (size_t i = 0; i < columns.size() && i < decodedFields.size(); ++i) {
                if (columns[i].empty()) continue;
                frame.values[decodedFields[i]] = decodedFields[i] == "_ws.col.Info" ? Values{columns[i]}
                                                                                    : split(columns[i], ',');
            }
            EXPECT_TRUE(frame["_ws.lua.error"].empty() && frame["_ws.malformed.expert"].empty())
                << "the dissector failed on frame " << frame.one("frame.number") << ": "
                << frame.one("_ws.col.Info");
            decoded.frames.push_back(frame);
        }
        return decoded;
    }

    // Dissecting every frame a second time, as Wireshark does when frames
    // are looked at again, and without TCP reassembly, gives the same fields.
    void expectSameInEveryMode(const Decoded& decoded) {
        for (const Values& options : {Values{"-2"}, Values{"-o", "tcp.desegment_tcp_streams:FALSE"}}) {
            const Decoded again = decode(options);
            for (const std::string& field : decodedFields) {
                // Fields of the protocol's lines and bytes; not those that
                // every frame of it carries.
                if (field.rfind("dyadc.", 0) != 0 || field == "dyadc.direction" || field == "dyadc.connection") {
                    continue;
                }
                EXPECT_EQ(again.all(field), decoded.all(field)) << field << " with " << options.back();
            }
        }
    }

    static void expectWholeBlocks(const Decoded& decoded, size_t count) {
        std::vector<Block> found = blocks(decoded);
        EXPECT_EQ(found.size(), count);
        for (const Block& block : found) {
            EXPECT_TRUE(block.marked == block.length && block.contiguous)
                << block.where << ": a block of " << block.length << " bytes, " << block.marked << " marked";
        }
    }

    std::unique_ptr<Lan> lan;
    Child capture;
};

TEST_F(Dissector, PairingBlocksSeriesBothWaysAndQuitDecodeAsSent) {
    // Blocks: a single one over many segments, an empty one, a series of
    // three (4096, 1 and 145903 bytes), the first of a series that keeps the
    // connection open, a block back from the Responder, then the close.
    // clang-format off
    Child responder = host(1, {"open", "2", "LAB7", "20", "recv", "1048576", "10", "recv", "1048576", "10", "drain",
                               "1048576", "10", "recv", "1024", "10", "send", "r", "s", "7", "70000", "10", "recv",
                               "1024", "10"});
    Child initiator = host(2, {"open", "1", "LAB7", "20", "send", "one", "two", "7", "204800", "10", "send", "empty",
                               "zero", "7", "0", "10", "stream", "150000", "10", "send", "a", "b", "21", "100", "10",
                               "recv", "1048576", "10", "close"});
    // clang-format on
    EXPECT_EQ(initiator.wait(seconds(60)), 0);
    EXPECT_EQ(responder.wait(seconds(60)), 0);
    EXPECT_TRUE(initiator.output().find("recv 0 70000 7 r s\nclose 0\n") != std::string::npos)
        << initiator.output();
    EXPECT_TRUE(responder.output().find("send 0\nrecv 23 ") != std::string::npos) << responder.output();
    stopCapture();
    const Decoded decoded = decode();

    const Values identifiers = decoded.all("dyadc.identifier");
    EXPECT_FALSE(identifiers.empty());
    for (const std::string& identifier : identifiers) EXPECT_EQ(identifier, "LAB7");

    const Values handshakes = decoded.streams("handshake");
    ASSERT_EQ(handshakes.size(), 1u);
    EXPECT_EQ(decoded.all("dyadc.name", handshakes[0]), Values{"ws2"});
    EXPECT_EQ(decoded.all("dyadc.version", handshakes[0]), Values{"2.04"});
    EXPECT_EQ(decoded.all("dyadc.reply_code", handshakes[0]), (Values{"0", "0"}));

    EXPECT_EQ(decoded.all("dyadc.first"), (Values{"one", "empty", "stream", "stream", "stream", "a", "r"}));
    EXPECT_EQ(decoded.all("dyadc.second"), (Values{"two", "zero", "part", "part", "part", "b", "s"}));
    EXPECT_EQ(decoded.all("dyadc.length"), (Values{"204800", "0", "4096", "1", "145903", "100", "70000"}));
    EXPECT_EQ(decoded.all("dyadc.type"), (Values{"7", "7", "21", "22", "20", "21", "7"}));
    expectWholeBlocks(decoded, 7);
    // Every header has its go-ahead and final acknowledgement, code 0.
    EXPECT_EQ(decoded.all("dyadc.reply_code"), Values(2 + 2 * 7, "0"));
    ASSERT_NE(decoded.find("dyadc.first", "r"), nullptr);
    EXPECT_EQ(decoded.find("dyadc.first", "r")->one("dyadc.direction"), "Responder to Initiator");

    EXPECT_EQ(decoded.all("dyadc.quit_code"), Values{"23"});
    EXPECT_EQ(decoded.find("dyadc.quit_code", "23")->one("dyadc.direction"), "Initiator to Responder");
    EXPECT_TRUE(decoded.all("dyadc.put.incomplete").empty());
    EXPECT_TRUE(decoded.all("dyadc.line.long").empty());

    // Without one segment of the first block the capture still decodes every
    // header; only that block is marked shorter.
    const Frame* middle = nullptr;
    for (const Frame& frame : decoded.frames) {
        if (middle == nullptr && frame.one("dyadc.data_offset") != "" && frame.one("dyadc.data_offset") != "0") {
            middle = &frame;
        }
    }
    ASSERT_NE(middle, nullptr);
    ASSERT_EQ(lan->run(1, {"editcap", "/tmp/capture.pcap", "/tmp/gap.pcap", middle->one("frame.number")}), 0);
    const Decoded gap = decode({}, "/tmp/gap.pcap");
    for (const char* field : {"dyadc.first", "dyadc.second", "dyadc.length", "dyadc.type", "dyadc.quit_code"}) {
        EXPECT_EQ(gap.all(field), decoded.all(field)) << field;
    }
    const std::vector<Block> gapped = blocks(gap);
    ASSERT_EQ(gapped.size(), 7u);
    EXPECT_EQ(gapped[0].marked, 204800 - std::stoull(middle->one("dyadc.data_length")));
    for (size_t i = 1; i < gapped.size(); ++i) EXPECT_EQ(gapped[i].marked, gapped[i].length) << gapped[i].where;

    // The installed dissector is found where Wireshark looks for a user's Lua
    // plugins, with the prefix ~/.local, and decodes the same.
    const std::string home = lan->host(1).tmp() + "/home";
    const std::string install = "cmake --install " DYADC_TEST_PROJECT_BUILD " --component wireshark --prefix " +
                                home + "/.local >/dev/null";
    ASSERT_EQ(std::system(install.c_str()), 0);
    ASSERT_TRUE(fileExists(home + "/.local/lib/wireshark/plugins/dyadc.lua"));
    const Decoded installed = decode({}, "/tmp/capture.pcap", "/tmp/home");
    EXPECT_EQ(installed.all("_ws.col.Info"), decoded.all("_ws.col.Info"));
}

TEST_F(Dissector, LibraryUpdateDecodesAsASeriesOfTheWholeLibrary) {
    installLibrary(2, 2, 5);
    // The Responder's own library stays older, so both rendezvous of the
    // Initiator's open ask for the update: it travels twice.
    Child responder = host(1, {"open", "2", "LAB7", "30", "open", "2", "LAB7", "30"});
    Child initiator = host(2, {"open", "1", "LAB7", "30"});
    EXPECT_EQ(responder.wait(seconds(60)), 0);
    EXPECT_EQ(initiator.wait(seconds(60)), 0);
    EXPECT_EQ(responder.output(), "verified ws2\nopen 24\nverified ws2\nopen 24\n");
    stopCapture();
    const Decoded decoded = decode();

    const Values handshakes = decoded.streams("handshake");
    ASSERT_EQ(handshakes.size(), 2u);
    for (const std::string& stream : handshakes) {
        EXPECT_EQ(decoded.all("dyadc.name", stream), Values{"ws2"});
        EXPECT_EQ(decoded.all("dyadc.version", stream), Values{"2.05"});
        EXPECT_EQ(decoded.all("dyadc.reply_code", stream), (Values{"0", "24"}));
    }
    EXPECT_EQ(decoded.all("dyadc.update").size(), 2u);

    const uint64_t size = readFile(lan->host(2).system() + "/libdyadc.so").size();
    const Values transfers = decoded.streams("data");
    ASSERT_EQ(transfers.size(), 2u);
    size_t count = 0;
    for (const std::string& stream : transfers) {
        const Values types = decoded.all("dyadc.type", stream), lengths = decoded.all("dyadc.length", stream);
        ASSERT_GE(types.size(), 2u);
        ASSERT_EQ(lengths.size(), types.size());
        EXPECT_EQ(decoded.all("dyadc.first", stream), Values(types.size(), "dyadc.dl_"));
        EXPECT_EQ(decoded.all("dyadc.second", stream), Values(types.size(), "c:\\placeholder"));
        uint64_t total = 0;
        for (size_t i = 0; i < types.size(); ++i) {
            EXPECT_EQ(types[i], i == 0 ? "21" : i + 1 == types.size() ? "20" : "22") << i;
            if (i + 1 < types.size()) EXPECT_EQ(lengths[i], "2048") << i;
            total += std::stoull(lengths[i]);
        }
        EXPECT_EQ(total, size);
        count += types.size();
    }
    expectWholeBlocks(decoded, count);
}

TEST_F(Dissector, OddBytesDecodeAsTheirReceiverReadsThem) {
    const std::string longName(5000, 'n');
    const std::string longIdentifier(70, 'i');
    // clang-format off
    Child responder = peer(1, {
        "listen", "192.168.10.1",
        // A header that arrives a byte at a time, with a length of 2^31 sent
        // as a negative number; a reply of three lines with another code that
        // the sender passes over, then the go-ahead. Part of the block follows.
        "accept", "expect", "put odd|name|-2147483648|7\\r\\n",
        "send", "123-first\\r\\nsecond\\r\\n123 last\\r\\n000 OK\\r\\n", "drain", "100016", "close",
        // Handshakes: a refused name; an empty version line.
        "accept", "expect", "HOSTA\\r\\n", "send", "001 CANCEL\\r\\n", "close",
        "accept", "expect", "HOSTB\\r\\n", "send", "000 OK\\r\\n", "expect", "\\r\\n", "send", "000 OK\\r\\n", "close",
        // A header without its length and type (no reply), one with empty
        // fields and trailing text, an over-long one, and the quit.
        "accept", "expect", "put a|b\\r\\n", "expect", "put |x||y|3|21 trailing\\r\\n", "send", "000 OK\\r\\n",
        "expect", "abc", "send", "000 Ok\\r\\n", "expect", "put " + longName + "|b|1|7\\r\\n", "expect",
        "quit 23\\r\\n", "eof"});
    ASSERT_TRUE(responder.waitForOutput("listening\n")) << responder.output();
    Child initiator = peer(2, {
        "announce", longIdentifier, "192.168.10.2", "1",
        "connect", "192.168.10.2", "192.168.10.1", "trickle", "put odd|name|-2147483648|7\\r\\n",
        "expect", "123-first\\r\\nsecond\\r\\n123 last\\r\\n000 OK\\r\\n",
        // Block bytes that look like a header, then more.
        "send", "put fake|x|5|7\\r\\n", "fill", "100000", "close",
        "connect", "192.168.10.2", "192.168.10.1", "send", "HOSTA\\r\\n", "expect", "001 CANCEL\\r\\n", "close",
        "connect", "192.168.10.2", "192.168.10.1", "send", "HOSTB\\r\\n", "expect", "000 OK\\r\\n", "send", "\\r\\n",
        "expect", "000 OK\\r\\n", "close",
        "connect", "192.168.10.2", "192.168.10.1", "send", "put a|b\\r\\n", "send", "put |x||y|3|21 trailing\\r\\n",
        "expect", "000 OK\\r\\n", "send", "abc", "expect", "000 Ok\\r\\n", "send", "put " + longName + "|b|1|7\\r\\n",
        "send", "quit 23\\r\\n", "close"});
    // clang-format on
    EXPECT_EQ(initiator.wait(seconds(60)), 0) << initiator.output();
    EXPECT_EQ(responder.wait(seconds(60)), 0) << responder.output();
    stopCapture();
    const Decoded decoded = decode();

    EXPECT_EQ(decoded.all("dyadc.identifier"), Values{longIdentifier});
    const Values data = decoded.streams("data"), handshakes = decoded.streams("handshake");
    ASSERT_EQ(data.size(), 2u);
    ASSERT_EQ(handshakes.size(), 2u);

    // The header that came a byte at a time, its reply over three lines and
    // the block bytes, none of them read as a header.
    EXPECT_EQ(decoded.all("dyadc.first", data[0]), Values{"odd"});
    EXPECT_EQ(decoded.all("dyadc.length", data[0]), Values{"2147483648"});
    EXPECT_EQ(decoded.all("dyadc.type", data[0]), Values{"7"});
    EXPECT_EQ(decoded.all("dyadc.reply_code", data[0]), (Values{"123", "0"}));
    std::vector<Block> found = blocks(decoded);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].length, 2147483648u);
    EXPECT_EQ(found[0].marked, 100016u);
    EXPECT_TRUE(found[0].contiguous);

    EXPECT_EQ(decoded.all("dyadc.name", handshakes[0]), Values{"HOSTA"});
    EXPECT_EQ(decoded.all("dyadc.reply_code", handshakes[0]), Values{"1"});
    EXPECT_EQ(decoded.all("dyadc.refused").size(), 1u);
    EXPECT_EQ(decoded.all("dyadc.name", handshakes[1]), Values{"HOSTB"});
    EXPECT_EQ(decoded.all("dyadc.reply_code", handshakes[1]), (Values{"0", "0"}));
    const Values info = decoded.all("_ws.col.Info", handshakes[1]);
    EXPECT_NE(std::find(info.begin(), info.end(), "Initiator: Version (none)"), info.end());

    // The receiver keeps 2045 bytes of the long line: the name and nothing
    // after it, so no reply and no block; the quit after it is found.
    EXPECT_EQ(decoded.all("dyadc.first", data[1]), (Values{"a", "x", std::string(2041, 'n')}));
    EXPECT_EQ(decoded.all("dyadc.length", data[1]), Values{"3"});
    EXPECT_EQ(decoded.all("dyadc.type", data[1]), Values{"21"});
    EXPECT_EQ(decoded.all("dyadc.put.incomplete", data[1]).size(), 2u);
    EXPECT_EQ(decoded.all("dyadc.line.long", data[1]).size(), 1u);
    EXPECT_EQ(found[1].length, 3u);
    EXPECT_EQ(found[1].marked, 3u);
    EXPECT_EQ(decoded.all("dyadc.quit_code", data[1]), Values{"23"});
    expectSameInEveryMode(decoded);
}

// Bytes made of the protocol's own pieces in a random order: commands, field
// separators, numbers, reply codes, line ends, NULs and high bytes.
std::string hostileBytes(uint32_t seed, size_t size) {
    static const std::vector<std::string> pieces = {"put ",
                                                    "quit ",
                                                    "|",
                                                    "||",
                                                    "\r\n",
                                                    "\n",
                                                    "\r",
                                                    " ",
                                                    "-",
                                                    "000",
                                                    "123-",
                                                    "123 ",
                                                    "24 ",
                                                    "4294967295",
                                                    "-2147483648",
                                                    "99999999999999999999",
                                                    "7",
                                                    "21",
                                                    "20",
                                                    "22",
                                                    std::string(1, '\0'),
                                                    "\xff\xfe",
                                                    "x"};
    std::mt19937 random(seed);
    std::string bytes;
    while (bytes.size() < size) bytes += pieces[random() % pieces.size()];
    return bytes;
}

// Every byte as \xNN, for test-peer's send.
std::string escaped(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char c : bytes) text += {'\\', 'x', digits[c >> 4], digits[c & 15]};
    return text;
}

TEST_F(Dissector, HostileBytesNeitherFailNorStallIt) {
    // Connections whose two sides send a mix of the protocol's pieces to each
    // other: read as a data connection (after a first header), and as a
    // handshake.
    Values responderSteps{"listen", "192.168.10.1"}, initiatorSteps;
    for (uint32_t seed = 1; seed <= 3; ++seed) {
        std::string toResponder = (seed == 2 ? "" : "put a|b|0|7\r\n") + hostileBytes(seed, 16000);
        std::string toInitiator = hostileBytes(seed + 100, 16000);
        responderSteps.insert(responderSteps.end(), {"accept", "drain", std::to_string(toResponder.size()), "send",
                                                     escaped(toInitiator), "eof"});
        initiatorSteps.insert(initiatorSteps.end(),
                              {"connect", "192.168.10.2", "192.168.10.1", "send", escaped(toResponder), "drain",
                               std::to_string(toInitiator.size()), "close"});
    }
    Child responder = peer(1, responderSteps);
    ASSERT_TRUE(responder.waitForOutput("listening\n")) << responder.output();
    Child initiator = peer(2, initiatorSteps);
    EXPECT_EQ(initiator.wait(seconds(60)), 0) << initiator.output();
    EXPECT_EQ(responder.wait(seconds(60)), 0) << responder.output();
    stopCapture();
    const Decoded decoded = decode();
    EXPECT_FALSE(decoded.all("dyadc.connection").empty());
    expectSameInEveryMode(decoded);
}

}  // namespace
}  // namespace dyadc::test
