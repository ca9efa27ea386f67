// The one-stream format of a transfer (tools/format/): every record kind
// through the encoder into blocks of many sizes and back through the decoder
// fed in slices of many sizes; a table of damaged streams, written byte by
// byte apart from the encoder, each of which the decoder stops at the right
// byte; and the calls that the encoder refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "tools/format/stream_decoder.h"
#include "tools/format/stream_encoder.h"

namespace dyad::stream {
namespace {

using Bytes = std::vector<uint8_t>;

// One record as a script for the encoder. A file's `content` is what it
// sends: all of it for an ok file, its first bytes for a withdrawn one.
struct Record {
    RecordKind kind;
    std::string path;
    uint64_t size = 0;
    std::optional<FileTime> time;
    Bytes content;
    FileStatus status = FileStatus::ok;
};

Bytes pattern(size_t count, uint8_t seed) {
    Bytes bytes(count);
    for (size_t at = 0; at < count; ++at) bytes[at] = static_cast<uint8_t>(seed + at * 7);
    return bytes;
}

Bytes digestOf(const Record& record, StreamChecksum checksum) {
    return pattern(digestSize(checksum), static_cast<uint8_t>(record.path.size() + record.size));
}

Record folder(std::string path) {
    return {RecordKind::folder, std::move(path), 0, std::nullopt, {}};
}

Record file(std::string path, size_t size, std::optional<FileTime> time = FileTime{1700000000, 123456789}) {
    return {RecordKind::file, std::move(path), size, time, pattern(size, 3)};
}

// Every kind of record and field: files empty, small and spanning many
// blocks, with and without a time, before 1970, withdrawn part way; folders;
// the longest path.
std::vector<Record> everyRecord() {
    Record withdrawn = file("gone/half", 5000);
    withdrawn.content.resize(1234);
    withdrawn.status = FileStatus::withdrawn;
    return {file("a", 0),
            file("dir/b.txt", 10, std::nullopt),
            folder("empty/folder"),
            file("old", 3, FileTime{-86401, 999999999}),
            file("big/c", 70000),
            withdrawn,
            folder(std::string(longestPath, 'p')),
            file(std::string(longestPath, 'f'), 1),
            file("", 2)};  // a name the receiver refuses, not the stream
}

// The stream of `records` as the encoder writes it into blocks of
// `blockSize` bytes; checks that every block but the last is full and that
// no block is empty.
std::vector<Bytes> encode(const std::vector<Record>& records, StreamChecksum checksum, size_t blockSize) {
    std::vector<Bytes> blocks;
    uint64_t files = 0;
    uint64_t bytes = 0;
    for (const Record& record : records) {
        files += record.kind == RecordKind::file;
        bytes += record.size;
    }
    StreamEncoder encoder(checksum, files, bytes);
    Bytes buffer(blockSize);
    encoder.give(buffer.data(), buffer.size());
    const auto handOn = [&] {
        while (encoder.full() && !encoder.done()) {
            EXPECT_EQ(encoder.filled(), blockSize);
            blocks.emplace_back(buffer.begin(), buffer.end());
            encoder.give(buffer.data(), buffer.size());
        }
    };
    handOn();  // a header larger than the block
    for (const Record& record : records) {
        if (record.kind == RecordKind::folder) {
            EXPECT_TRUE(encoder.folder(record.path));
            handOn();
            continue;
        }
        EXPECT_TRUE(encoder.beginFile(record.path, record.size, record.time));
        handOn();
        // Alternately read into room() and copied by content().
        for (size_t at = 0, turn = 0; at < record.content.size(); ++turn) {
            size_t taken = 0;
            if (turn % 2 == 0) {
                const std::span<uint8_t> room = encoder.room();
                taken = std::min(room.size(), record.content.size() - at);
                std::copy_n(record.content.begin() + static_cast<ptrdiff_t>(at), taken, room.begin());
                EXPECT_TRUE(encoder.wrote(taken));
            } else {
                taken = encoder.content(record.content.data() + at, record.content.size() - at);
            }
            at += taken;
            handOn();
        }
        EXPECT_TRUE(encoder.endFile(record.status, digestOf(record, checksum)));
        handOn();
    }
    EXPECT_TRUE(encoder.end());
    handOn();
    EXPECT_TRUE(encoder.done());
    EXPECT_GT(encoder.filled(), 0u);
    blocks.emplace_back(buffer.begin(), buffer.begin() + static_cast<ptrdiff_t>(encoder.filled()));
    return blocks;
}

// The content of a file in a transcript: its length and its FNV-1a hash.
std::string summary(const Bytes& bytes) {
    uint64_t hash = 14695981039346656037u;
    for (uint8_t byte : bytes) hash = (hash ^ byte) * 1099511628211u;
    return std::to_string(bytes.size()) + " " + std::to_string(hash);
}

// A path in a transcript: a long one by its length and first byte.
std::string shown(std::string_view path) {
    return path.size() <= 40 ? std::string(path) : std::to_string(path.size()) + " bytes of " + path[0];
}

std::string hex(std::span<const uint8_t> bytes) {
    std::string text;
    for (uint8_t byte : bytes) {
        text += "0123456789abcdef"[byte >> 4];
        text += "0123456789abcdef"[byte & 15];
    }
    return text;
}

// One line for each event, a file's content joined into one line; an
// error's line ends the transcript.
struct Transcript {
    std::vector<std::string> lines;
    Bytes content;

    void take(const StreamEvent& event, std::span<const uint8_t> slice) {
        switch (event.kind) {
            case StreamEvent::header:
                lines.push_back("header " + std::to_string(static_cast<int>(event.checksum)) + " " +
                                std::to_string(event.files) + " " + std::to_string(event.bytes));
                break;
            case StreamEvent::fileBegin:
                lines.push_back("file " + shown(event.path) + " " + std::to_string(event.size) +
                                (event.hasTime ? " " + std::to_string(event.time.seconds) + "." +
                                                     std::to_string(event.time.nanoseconds)
                                               : " -"));
                content.clear();
                break;
            case StreamEvent::content:
                // A span of the slice fed, never a copy.
                EXPECT_GE(event.data.data(), slice.data());
                EXPECT_LE(event.data.data() + event.data.size(), slice.data() + slice.size());
                EXPECT_FALSE(event.data.empty());
                content.insert(content.end(), event.data.begin(), event.data.end());
                break;
            case StreamEvent::fileEnd:
                lines.push_back("content " + summary(content));
                lines.push_back("status " + std::to_string(static_cast<int>(event.status)) + " " +
                                hex(event.data));
                break;
            case StreamEvent::folder:
                lines.push_back("folder " + shown(event.path));
                break;
            case StreamEvent::end:
                lines.push_back("end " + std::to_string(event.files) + " " + std::to_string(event.folders) + " " +
                                std::to_string(event.bytes));
                break;
            case StreamEvent::error:
                lines.push_back("error " + std::to_string(event.offset) + " " + event.reason);
                break;
            case StreamEvent::more:
                break;
        }
    }
};

// The decoder's transcript of `stream` fed in slices of `sliceSize` bytes
// (0: the blocks as they are), then finished.
std::vector<std::string> decode(const std::vector<Bytes>& blocks, size_t sliceSize) {
    std::vector<Bytes> slices;
    if (sliceSize == 0) {
        slices = blocks;
    } else {
        Bytes whole;
        for (const Bytes& block : blocks) whole.insert(whole.end(), block.begin(), block.end());
        for (size_t at = 0; at < whole.size(); at += sliceSize) {
            slices.emplace_back(whole.begin() + static_cast<ptrdiff_t>(at),
                                whole.begin() + static_cast<ptrdiff_t>(std::min(whole.size(), at + sliceSize)));
        }
    }
    StreamDecoder decoder;
    Transcript transcript;
    for (const Bytes& slice : slices) {
        decoder.feed(slice);
        for (StreamEvent event; (event = decoder.next()).kind != StreamEvent::more;) {
            transcript.take(event, slice);
            if (event.kind == StreamEvent::error) return transcript.lines;
        }
    }
    transcript.take(decoder.finish(), {});
    return transcript.lines;
}

// What the decoder must report for `records`.
std::vector<std::string> expected(const std::vector<Record>& records, StreamChecksum checksum) {
    uint64_t bytes = 0;
    uint64_t files = 0;
    for (const Record& record : records) {
        bytes += record.size;
        files += record.kind == RecordKind::file;
    }
    Transcript transcript;
    transcript.lines.push_back("header " + std::to_string(static_cast<int>(checksum)) + " " +
                               std::to_string(files) + " " + std::to_string(bytes));
    for (const Record& record : records) {
        if (record.kind == RecordKind::folder) {
            transcript.lines.push_back("folder " + shown(record.path));
            continue;
        }
        StreamEvent begin;
        begin.kind = StreamEvent::fileBegin;
        begin.path = record.path;
        begin.size = record.size;
        begin.hasTime = record.time.has_value();
        begin.time = record.time.value_or(FileTime{});
        transcript.take(begin, {});
        Bytes content = record.content;
        content.resize(record.size);  // a withdrawn file's rest: zeros
        transcript.lines.push_back("content " + summary(content));
        const Bytes digest = record.status == FileStatus::ok ? digestOf(record, checksum)
                                                             : Bytes(digestSize(checksum));
        transcript.lines.push_back("status " + std::to_string(static_cast<int>(record.status)) + " " +
                                   hex(digest));
    }
    transcript.lines.push_back("end " + std::to_string(files) + " " + std::to_string(records.size() - files) +
                               " " + std::to_string(bytes));
    return transcript.lines;
}

TEST(Stream, EveryRecordSurvivesEveryBlockSizeAndEverySlicing) {
    const std::vector<Record> records = everyRecord();
    for (StreamChecksum checksum : {StreamChecksum::xxh128, StreamChecksum::sha256}) {
        const std::vector<std::string> want = expected(records, checksum);
        for (size_t blockSize : {1, 2, 7, 26, 27, 4096, 4200, 65536, 1 << 20}) {
            SCOPED_TRACE("block size " + std::to_string(blockSize));
            const std::vector<Bytes> blocks = encode(records, checksum, blockSize);
            for (size_t sliceSize : {0, 1, 3, 4099}) {
                SCOPED_TRACE("slice size " + std::to_string(sliceSize));
                EXPECT_EQ(decode(blocks, sliceSize), want);
            }
        }
    }
    // The smallest stream: a header and an end record.
    EXPECT_EQ(decode(encode({}, StreamChecksum::xxh128, 4096), 1),
              (std::vector<std::string>{"header 0 0 0", "end 0 0 0"}));
}

// A damaged content byte is no fault of the stream: the file's bytes and
// digest come as they are, and the receiver's digest compare fails it.
TEST(Stream, AFlippedContentByteFailsOnlyItsDigest) {
    const std::vector<Record> records = {file("one", 100), file("two", 5)};
    std::vector<Bytes> blocks = encode(records, StreamChecksum::xxh128, 64);
    blocks[1][10] ^= 0x01;  // inside "one"'s content
    std::vector<std::string> want = expected(records, StreamChecksum::xxh128);
    Bytes flipped = records[0].content;
    flipped[64 + 10 - (headerSize + 1 + 2 + 3 + fileFieldsSize)] ^= 0x01;
    want[2] = "content " + summary(flipped);
    EXPECT_EQ(decode(blocks, 0), want);
}

// A stream written field by field, apart from the encoder.
struct Raw {
    Bytes bytes;
    Raw& u8(uint64_t value) { return number(value, 1); }
    Raw& number(uint64_t value, size_t width) {
        for (size_t shift = width * 8; shift > 0; shift -= 8)
            bytes.push_back(static_cast<uint8_t>(value >> (shift - 8)));
        return *this;
    }
    Raw& text(std::string_view characters) {
        bytes.insert(bytes.end(), characters.begin(), characters.end());
        return *this;
    }
    Raw& path(std::string_view path) { return number(path.size(), 2).text(path); }
    Raw& header(std::string_view magic = "DYADSTR1", uint64_t checksum = 0, uint64_t flags = 0) {
        return text(magic).u8(checksum).u8(flags).number(1, 8).number(3, 8);
    }
    // The file "a" (at offset 26 when it follows the header) with the
    // content "xyz", its fields at 30, its content at 51, its trailer at 54.
    Raw& fileA(uint64_t size = 3, uint64_t timeFlags = 1, uint64_t nanoseconds = 5, uint64_t status = 0) {
        return u8(1)
            .path("a")
            .number(size, 8)
            .u8(timeFlags)
            .number(7, 8)
            .number(nanoseconds, 4)
            .text("xyz")
            .u8(status)
            .text(std::string(16, 'd'));
    }
    Raw& end(uint64_t files = 1, uint64_t folders = 1, uint64_t contentBytes = 3) {
        return u8(3).number(files, 8).number(folders, 8).number(contentBytes, 8);
    }
};

// The good stream of the damaged table: header 0-25, file 26-70, folder
// "d" 71-74, end 75-99.
Bytes good() {
    return Raw().header().fileA().u8(2).path("d").end().bytes;
}

TEST(Stream, DamagedStreamsStopAtTheByteAtFault) {
    const Bytes whole = good();
    ASSERT_EQ(decode({whole}, 0).back(), "end 1 1 3");
    const auto cut = [&](size_t length) {
        return Bytes(whole.begin(), whole.begin() + static_cast<ptrdiff_t>(length));
    };
    struct Case {
        const char* what;
        Bytes stream;
        uint64_t offset;
        const char* reason;  // the start of the error's reason
    };
    const std::vector<Case> cases = {
        {"bad magic", Raw().header("DYADSTR2").fileA().bytes, 0, "not a stream of this format"},
        {"unknown checksum", Raw().header("DYADSTR1", 2).bytes, 8, "a checksum"},
        {"unknown header flag", Raw().header("DYADSTR1", 0, 4).bytes, 9, "a header flag"},
        {"record kind 0", Raw().header().u8(0).bytes, 26, "a record of an unknown kind"},
        {"record kind 4", Raw().header().fileA().u8(4).bytes, 71, "a record of an unknown kind"},
        {"longest path and one", Raw().header().u8(2).path(std::string(longestPath + 1, 'x')).bytes, 27,
         "a path longer"},
        {"unknown time flag", Raw().header().fileA(3, 3).bytes, 38, "a time flag"},
        {"nanoseconds of a whole second", Raw().header().fileA(3, 1, 1000000000).bytes, 47, "a modification time"},
        {"unknown file status", Raw().header().fileA(3, 1, 5, 2).bytes, 54, "a file status"},
        {"a byte after the end", Raw{good()}.u8(3).bytes, 100, "bytes after the end record"},
        {"end counts one file more", Raw().header().fileA().u8(2).path("d").end(2).bytes, 76,
         "an end record whose file"},
        {"end counts no folder", Raw().header().fileA().u8(2).path("d").end(1, 0).bytes, 84,
         "an end record whose folder"},
        {"end counts a byte less", Raw().header().fileA().u8(2).path("d").end(1, 1, 2).bytes, 92,
         "an end record whose byte"},
        {"a size that runs past the end", Raw().header().fileA(100).u8(2).path("d").end(1, 1, 100).bytes, 100,
         "the stream ends inside a file's content"},
        // Cut short at each field.
        {"cut in the magic", cut(5), 5, "the stream ends inside its header"},
        {"cut in the totals", cut(20), 20, "the stream ends inside its header"},
        {"cut before a record", cut(26), 26, "the stream ends before its end"},
        {"cut in a path length", cut(28), 28, "the stream ends inside a path"},
        {"cut in a path", cut(29), 29, "the stream ends inside a path"},
        {"cut in a file's fields", cut(40), 40, "the stream ends inside a file record"},
        {"cut in a file's content", cut(52), 52, "the stream ends inside a file's content"},
        {"cut in a file's trailer", cut(60), 60, "the stream ends inside a file's trailer"},
        {"cut in the end record", cut(99), 99, "the stream ends inside the end record"},
    };
    for (const Case& damaged : cases) {
        for (size_t sliceSize : {0, 1}) {
            SCOPED_TRACE(std::string(damaged.what) + ", slices of " + std::to_string(sliceSize));
            const std::vector<std::string> lines = decode({damaged.stream}, sliceSize);
            const std::string want = "error " + std::to_string(damaged.offset) + " " + damaged.reason;
            EXPECT_EQ(lines.back().substr(0, want.size()), want);
        }
    }
    // Every cut of the good stream is an error where it ends, whatever field it splits.
    for (size_t length = 0; length < whole.size(); ++length) {
        const std::string want = "error " + std::to_string(length) + " the stream ends";
        EXPECT_EQ(decode({cut(length)}, 0).back().substr(0, want.size()), want);
    }
}

// A call that does not fit the encoder's state, or an argument out of range,
// writes nothing.
TEST(Stream, TheEncoderRefusesCallsOutOfOrder) {
    Bytes buffer(256);
    StreamEncoder encoder(StreamChecksum::xxh128, 0, 0);
    const Bytes digest(16);
    EXPECT_FALSE(encoder.folder("x"));  // no buffer yet
    encoder.give(buffer.data(), buffer.size());
    const size_t filled = encoder.filled();
    EXPECT_FALSE(encoder.folder(std::string(longestPath + 1, 'x')));
    EXPECT_FALSE(encoder.beginFile("a", 1, FileTime{0, nanosecondsPerSecond}));
    EXPECT_FALSE(encoder.endFile(FileStatus::ok, digest));  // no file in progress
    EXPECT_FALSE(encoder.wrote(1));
    EXPECT_EQ(encoder.filled(), filled);
    ASSERT_TRUE(encoder.beginFile("a", 2, std::nullopt));
    EXPECT_EQ(encoder.room().size(), 2u);
    EXPECT_FALSE(encoder.wrote(3));
    EXPECT_FALSE(encoder.folder("x"));  // inside a file
    EXPECT_FALSE(encoder.end());
    EXPECT_FALSE(encoder.endFile(FileStatus::ok, digest));  // two bytes still to come
    EXPECT_EQ(encoder.content(digest.data(), 5), 2u);
    EXPECT_FALSE(encoder.endFile(FileStatus::ok, Bytes(32)));  // a SHA-256 digest in an XXH3-128 stream
    EXPECT_FALSE(encoder.endFile(static_cast<FileStatus>(2), digest));
    EXPECT_TRUE(encoder.endFile(FileStatus::ok, digest));
    EXPECT_TRUE(encoder.end());
    EXPECT_TRUE(encoder.done());
    EXPECT_FALSE(encoder.folder("x"));
}

}  // namespace
}  // namespace dyad::stream
