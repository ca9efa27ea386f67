// Reading the blocks of a transfer (format.h) as files, without any I/O: a
// decoder takes the blocks in the order they arrived and says what each
// means for the files they carry: a file starts, bytes of it, its time, its
// end with the checksum it came with, an empty folder, bytes or a checksum
// that belong to no file. What the receiver does with that (where it writes,
// what it refuses, what it says) is its own affair.
//
// The blocks of today's format are a series per file (SeriesDecoder), and
// accept what earlier senders sent: a file's last bytes in its type 20 block
// with its size as second name, and a whole file in one block of type 1.
// The one-stream format (stream_format.h) is read by StreamBlockDecoder
// (stream_blocks.h) behind the same BlockDecoder; pickDecoder() chooses by
// the first block.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/format/format.h"

namespace dyad::format {

// One block as it arrived, or a piece of one larger than the receiver's
// buffer: the later pieces come as type 22 with the block's names.
struct Block {
    int32_t type = 0;
    std::string_view first;
    std::string_view second;
    const uint8_t* data = nullptr;
    uint32_t length = 0;
};

// A file's size as its blocks give it: a count of bytes, unknown (an earlier
// sender's odd second name: the checksum still decides), or refused (a
// negative number, or one beyond 64 bits).
struct Size {
    enum Kind { known, unknown, refused } kind = unknown;
    uint64_t bytes = 0;
};
Size sizeOf(std::string_view text);

// The modification time that a time block names (nanoseconds since
// 1970-01-01 UTC), when it names one.
std::optional<int64_t> timeOf(std::string_view text);

// The sender's checksum as lowercase digits, or "" when it is no digest of
// that format.
std::string digestText(std::string_view digits, const ChecksumFormat& format);

// What a file's last block says about its checksum: none (an earlier
// sender's last bytes, or its single block), one that this dyad computes, or
// one of another name.
struct Claim {
    // withdrawn: the sender withdrew the file (it changed or could not be
    // read while it was sent); its bytes are not the file.
    enum Kind { none, known, unknown, withdrawn } kind = none;
    const ChecksumFormat* format = nullptr;  // known
    std::string name;                        // unknown: the name it came with
    std::string digits;                      // known: the block's data
};

// What a block means, in the order of the events it gives.
struct Event {
    enum Kind {
        file,        // a file starts: `name`, `sizeText`, `size`; `series`: false for an earlier
                     // sender's single block, which has no checksum block and ends at the next start
        bytes,       // `data` and `length` are bytes of the file in progress
        time,        // the file in progress has the modification time `nanoseconds` (none: the block named none)
        complete,    // the file in progress has all its bytes; `claim` is its checksum
        unfinished,  // the file in progress ended before its checksum block: `ending` says how
        folder,      // an empty folder: `name` is its path, '/' and all
        stray,       // `dropped` bytes that belong to no file came with blocks named `name`;
                     // `ofFolder`: with the block of an empty folder
        strayChecksum,  // a checksum for `name`, which is no file in progress
        failed,         // the blocks cannot be read on: `name` says why, `fault` how, `peerText` is
                        // what the peer sent that it concerns (if any); nothing more comes
    };
    enum Fault { damaged, cutShort, unknownKind };
    enum Ending { nextStarted, peerClosed, stopped };

    Kind kind = file;
    std::string name;
    std::string sizeText;
    Size size;
    bool series = true;
    bool ofFolder = false;
    const uint8_t* data = nullptr;
    uint32_t length = 0;
    uint64_t dropped = 0;
    std::optional<int64_t> nanoseconds;
    Claim claim;
    Ending ending = nextStarted;
    Fault fault = damaged;
    std::string peerText;
};

// A reader of one format's blocks.
class BlockDecoder {
public:
    virtual ~BlockDecoder() = default;
    // What the block means; its `data` stays the caller's (bytes events
    // point into it).
    virtual std::vector<Event> take(const Block& block) = 0;
    // The blocks have ended (`peerClosed`: the peer closed the pairing, not a
    // failure): what that means for the file in progress and stray bytes.
    virtual std::vector<Event> end(bool peerClosed) = 0;
};

// Today's format: one series of blocks per file (format.h).
class SeriesDecoder final : public BlockDecoder {
public:
    std::vector<Event> take(const Block& block) override;
    std::vector<Event> end(bool peerClosed) override;

private:
    bool inProgress(std::string_view name) const { return active_ && name == name_; }
    void start(const Block& block, bool series, std::vector<Event>* events);
    void last(const Block& block, std::vector<Event>* events);
    void endFile(Event::Ending ending, std::vector<Event>* events);
    void drop(std::string_view name, uint32_t length, bool folder, std::vector<Event>* events);
    void reportDropped(std::vector<Event>* events);

    // The file in progress.
    bool active_ = false;
    bool series_ = false;
    std::string name_;
    std::string sizeText_;  // the second name of its first block
    // Bytes of blocks that belong to no file, not reported yet.
    uint64_t dropped_ = 0;
    std::string droppedName_;
    bool droppedFolder_ = false;
};

}  // namespace dyad::format
