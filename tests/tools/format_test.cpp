// The dyad command's file format without I/O (tools/format/decode.h,
// encode.h): the names that blocks carry, what every sequence of blocks that
// a sender of today or of earlier times sends means, what damaged or stray
// blocks mean, and the encoder's blocks read back by the decoder.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dyadc.h"
#include "tools/format/decode.h"
#include "tools/format/encode.h"

namespace dyad::format {
namespace {

constexpr const char* digits32 = "0123456789abcdef0123456789ABCDEF";

TEST(FormatNames, SizeTimeAndDigest) {
    const struct {
        const char* text;
        Size::Kind kind;
        uint64_t bytes;
    } sizes[] = {
        {"0", Size::known, 0},
        {"4096", Size::known, 4096},
        {"18446744073709551615", Size::known, UINT64_MAX},
        {"18446744073709551616", Size::refused, 0},
        {"-1", Size::refused, 0},
        {"", Size::unknown, 0},
        {"12a", Size::unknown, 0},
        {" 1", Size::unknown, 0},
        {"+1", Size::unknown, 0},
    };
    for (const auto& size : sizes) {
        const Size got = sizeOf(size.text);
        EXPECT_EQ(got.kind, size.kind) << size.text;
        if (size.kind == Size::known) EXPECT_EQ(got.bytes, size.bytes) << size.text;
    }
    EXPECT_EQ(timeOf("mtime=0"), 0);
    EXPECT_EQ(timeOf("mtime=-1500000000"), -1500000000);
    EXPECT_EQ(timeOf("mtime=9223372036854775807"), INT64_MAX);
    for (const char* bad : {"mtime=", "mtime=1x", "mtime= 1", "mtime=9223372036854775808", "time=1", "4096"}) {
        EXPECT_FALSE(timeOf(bad)) << bad;
    }
    const ChecksumFormat& xxh = formatOf(Checksum::xxh128);
    EXPECT_EQ(digestText(digits32, xxh), "0123456789abcdef0123456789abcdef");
    EXPECT_EQ(digestText("0123", xxh), "");
    EXPECT_EQ(digestText(std::string(31, '0') + "g", xxh), "");
    // A withdrawn file's data is no digest of any checksum.
    for (const ChecksumFormat& format : checksumFormats)
        EXPECT_EQ(digestText(withdrawnDigits(format), format), "");
}

// Blocks for the table below: type, names, data.
struct In {
    int32_t type;
    std::string first;
    std::string second;
    std::string data;
};

// The events, one text each: what a receiver would act on.
std::string shown(const Event& event) {
    switch (event.kind) {
        case Event::file:
            return "file " + event.name + " " + event.sizeText + (event.series ? "" : " single");
        case Event::bytes:
            return "bytes " + std::string(reinterpret_cast<const char*>(event.data), event.length);
        case Event::time:
            return "time " + (event.nanoseconds ? std::to_string(*event.nanoseconds) : std::string("none"));
        case Event::complete:
            return "complete " + event.name + " " +
                   (event.claim.kind == Claim::none    ? std::string("none")
                    : event.claim.kind == Claim::known ? event.claim.format->name + (" " + event.claim.digits)
                                                       : "unknown " + event.claim.name);
        case Event::unfinished:
            return "unfinished " + event.name + " " +
                   (event.ending == Event::nextStarted  ? "next"
                    : event.ending == Event::peerClosed ? "closed"
                                                        : "stopped");
        case Event::folder:
            return "folder " + event.name;
        case Event::stray:
            return "stray " + event.name + " " + std::to_string(event.dropped) + (event.ofFolder ? " folder" : "");
        case Event::strayChecksum:
            return "strayChecksum " + event.name;
    }
    return "?";
}

std::string decode(const std::vector<In>& blocks, bool peerClosed) {
    SeriesDecoder decoder;
    std::string text;
    auto add = [&](const std::vector<Event>& events) {
        for (const Event& event : events) text += (text.empty() ? "" : " | ") + shown(event);
    };
    for (const In& in : blocks) {
        add(decoder.take({in.type, in.first, in.second, reinterpret_cast<const uint8_t*>(in.data.data()),
                          static_cast<uint32_t>(in.data.size())}));
    }
    add(decoder.end(peerClosed));
    return text;
}

constexpr int32_t first = DYAD_BLOCK_FIRST;
constexpr int32_t more = DYAD_BLOCK_MORE;
constexpr int32_t last = DYAD_BLOCK_LAST;
constexpr int32_t single = 1;

TEST(FormatDecoder, EveryCaseAndDamagedInput) {
    const struct {
        const char* what;
        std::vector<In> blocks;
        bool peerClosed;
        const char* events;
    } cases[] = {
        {"a file in two blocks with its time and checksum",
         {{first, "a", "6", "abc"},
          {more, "a", "6", "def"},
          {more, "a", "mtime=-5", ""},
          {last, "a", "xxh128", "d"}},
         true,
         "file a 6 | bytes abc | bytes def | time -5 | complete a xxh128 d"},
        {"an empty file, an empty folder, a file of a folder",
         {{first, "e", "0", ""},
          {last, "e", "sha256", "s"},
          {first, "d/", "folder", ""},
          {first, "d/f", "1", "x"},
          {last, "d/f", "xxh128", "c"}},
         true,
         "file e 0 | complete e sha256 s | folder d/ | file d/f 1 | bytes x | complete d/f xxh128 c"},
        {"a time block that names no time",
         {{first, "a", "1", "x"}, {more, "a", "mtime=x", ""}, {last, "a", "xxh128", "c"}},
         true,
         "file a 1 | bytes x | time none | complete a xxh128 c"},
        {"an earlier sender's last bytes in the type 20 block",
         {{first, "a", "6", "abc"}, {last, "a", "6", "def"}},
         true,
         "file a 6 | bytes abc | bytes def | complete a none"},
        {"a checksum of a name this dyad does not know",
         {{first, "a", "3", "abc"}, {last, "a", "md5", "zz"}},
         true,
         "file a 3 | bytes abc | complete a unknown md5"},
        {"earlier single blocks end at the next start and when the peer closes",
         {{single, "a", "3", "abc"}, {single, "b", "2", "xy"}},
         true,
         "file a 3 single | bytes abc | complete a none | file b 2 single | bytes xy | complete b none"},
        {"a single block when receiving stopped",
         {{single, "a", "3", "abc"}},
         false,
         "file a 3 single | bytes abc | unfinished a stopped"},
        {"a series cut short by the next file, a folder and the peer",
         {{first, "a", "3", "abc"}, {first, "b", "1", "x"}, {first, "d/", "folder", ""}, {first, "c", "1", "y"}},
         true,
         "file a 3 | bytes abc | unfinished a next | file b 1 | bytes x | unfinished b next | folder d/ | "
         "file c 1 | bytes y | unfinished c closed"},
        {"bytes of another file are stray, reported once a run ends",
         {{first, "a", "1", "x"},
          {more, "b", "9", "xyz"},
          {more, "b", "9", "uvw"},
          {more, "c", "9", "q"},
          {last, "a", "xxh128", "c"}},
         true,
         "file a 1 | bytes x | stray b 6 | stray c 1 | complete a xxh128 c"},
        {"an empty folder's block that carries bytes",
         {{first, "d/", "folder", "xy"}, {more, "d/", "folder", "z"}},
         true,
         "folder d/ | stray d/ 3 folder"},
        {"a checksum or last bytes that belong to no file",
         {{last, "z", "xxh128", "c"},
          {first, "a", "1", "x"},
          {last, "z", "xxh128", "c"},
          {last, "y", "5", "abc"},
          {last, "a", "xxh128", "c"},
          {more, "a", "1", "late"}},
         true,
         "strayChecksum z | file a 1 | bytes x | strayChecksum z | stray y 3 | complete a xxh128 c | stray a 4"},
        {"a name with a slash but no folder mark is a file",
         {{first, "d/", "0", ""}, {last, "d/", "xxh128", "c"}},
         true,
         "file d/ 0 | complete d/ xxh128 c"},
        {"nothing at all", {}, true, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(decode(c.blocks, c.peerClosed), c.events) << c.what;
}

// The encoder's blocks, as the library would carry them, read back.
TEST(FormatEncoder, ReadsBackAsSent) {
    const SeriesEncoder encoder(Checksum::xxh128);
    const std::string digest(32, 'a');
    std::vector<OutBlock> blocks{SeriesEncoder::folder(), SeriesEncoder::bytes(5, "abc", 3, true),
                                 SeriesEncoder::bytes(5, "de", 2, false)};
    std::vector<std::string> names{"e/", "f", "f"};
    auto addEnd = [&](const std::string& name, std::vector<OutBlock> end) {
        for (OutBlock& block : end) {
            blocks.push_back(std::move(block));
            names.push_back(name);
        }
    };
    addEnd("f", encoder.end(5, true, 1, 2, &digest));
    addEnd("w", encoder.end(7, false, std::nullopt, 0, nullptr));              // withdrawn before its first byte
    addEnd("old", encoder.end(1, false, INT64_MAX / 1000000000, 0, &digest));  // a time that does not travel
    SeriesDecoder decoder;
    std::string text;
    for (size_t i = 0; i < blocks.size(); ++i) {
        const OutBlock& block = blocks[i];
        for (const Event& event : decoder.take(
                 {block.type, names[i], block.second, static_cast<const uint8_t*>(block.data), block.length})) {
            text += (text.empty() ? "" : " | ") + shown(event);
        }
    }
    EXPECT_EQ(text, "folder e/ | file f 5 | bytes abc | bytes de | time 1000000002 | complete f xxh128 " + digest +
                        " | file w 7 | complete w xxh128 " + withdrawnDigits(encoder.checksum()) +
                        " | file old 1 | complete old xxh128 " + digest);
    EXPECT_TRUE(timeTravels(-9223372035));
    EXPECT_FALSE(timeTravels(-9223372036));
}

}  // namespace
}  // namespace dyad::format
