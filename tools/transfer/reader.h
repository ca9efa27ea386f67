// The reading and packing of dyad send: a thread of its own walks what the
// command line names again (collection.h), opens each file as itself (no
// link followed, no FIFO waited on), reads its bytes straight into the block
// buffer that the stream encoder fills (format/stream_encoder.h), hashes
// them, and queues each buffer that is full, while the main thread hands the
// queued blocks to the library. A fixed number of block buffers circulates
// between the two threads, so that memory stays the same whatever the
// number and the size of the files.
//
// Between the check and the sending another program may still change the
// tree. A file's size and time are compared after its last byte was read: a
// file that changed, shrank or could no longer be read is withdrawn (its
// record says so and the receiver drops it). A file that is gone when the
// walk comes to it is not sent; one that has appeared is sent when its name
// passes the receiver's rule, else skipped; the counts of the check and of
// the sending then differ, which the sender reports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/base/checksum.h"
#include "tools/base/pipeline.h"
#include "tools/format/stream_encoder.h"

namespace dyad {

// A block of the stream, in one of the buffers, with what happened while it
// was filled: to be said and counted once it went.
struct StreamBlock {
    size_t buffer = 0;
    size_t offset = 0;    // where its stream bytes begin in the buffer: the room in front of them
    uint32_t length = 0;  // its stream bytes
    bool last = false;    // the stream's end is in it
    uint64_t extra = 0;   // its bytes that are no bytes of a file (records, zeros of a withdrawn file)
    uint64_t files = 0;   // files whose record ended in it, whole
    uint64_t found = 0;   // files and empty folders that the walk met while it was filled
    std::vector<std::string> withdrawn;  // messages about files withdrawn or skipped
    std::vector<std::string> notes;      // what the walk passed over: links, devices
};

class Reader {
public:
    // Reads what `arguments` name into `buffers`, announcing `files` files
    // of `bytes` bytes in the stream's header. Each buffer keeps `behind`
    // bytes of room after its stream bytes, and the first `firstFront` bytes
    // of room before them too (what a sealed block wraps its payload in).
    Reader(const std::vector<std::string>& arguments, std::vector<std::vector<uint8_t>>& buffers,
           Checksum checksum, uint64_t files, uint64_t bytes, size_t firstFront = 0, size_t behind = 0);
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // The next block; empty after the last, or once the reader stopped.
    std::optional<StreamBlock> next() { return ready_.pop(); }
    // A buffer whose block went: the reader fills it again.
    void giveBack(size_t buffer) { free_.push(buffer); }
    // Stops the reading: next() returns what is queued, then nothing.
    void stop() { free_.close(); }

private:
    void run();
    // Takes a free buffer for the encoder; false when the sending stopped.
    bool take();
    // Queues the full buffers; false when the sending stopped.
    bool handOn();
    // Sends one file; false when the sending stopped, with `sent` whether
    // the file has a record.
    bool sendFile(const struct Outgoing& entry, bool* sent);
    void skip(const std::string& message);

    const std::vector<std::string> arguments_;
    std::vector<std::vector<uint8_t>>& buffers_;
    const Checksum checksum_;
    size_t front_;  // the room before the next buffer's stream bytes
    const size_t behind_;
    stream::StreamEncoder encoder_;
    FileHash hash_;
    StreamBlock current_;
    uint64_t content_ = 0;  // bytes of files in the current buffer
    bool stopped_ = false;
    Queue<size_t> free_;
    Queue<StreamBlock> ready_;
    std::thread thread_;
};

// The raw digest of hexadecimal digits, as the stream carries it.
std::vector<uint8_t> digestOf(const std::string& digits);

}  // namespace dyad
