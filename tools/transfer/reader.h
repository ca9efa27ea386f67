// The file reading of dyad send: a thread of its own reads each file block by
// block into one of a few buffers and adds the bytes to the file's checksum,
// while the main thread hands the filled buffers to the library; after a
// file's last bytes it queues the file's end with its checksum. Between the
// listing and the sending another program may still change a file: each is
// opened again as itself (no link followed, no FIFO waited on) and its size
// and time are compared after its last byte was read; a file that fails
// there ends with the reason it is withdrawn.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/base/checksum.h"
#include "tools/base/pipeline.h"
#include "tools/base/system.h"
#include "tools/transfer/collection.h"

namespace dyad {

// What the reader queues for one file or empty folder.
struct Piece {
    enum Kind {
        folder,  // an empty folder
        bytes,   // bytes of a file, in `buffer`
        end,     // the end of a file
    };
    Kind kind = folder;
    size_t file = 0;    // its index in the files to send
    uint64_t size = 0;  // the file's size as its blocks give it
    // bytes: the buffer that holds them, how many, and whether they are
    // the file's first
    size_t buffer = 0;
    uint32_t length = 0;
    bool first = false;
    // end: its checksum's digits and its modification time, or why it is
    // withdrawn, and whether any bytes of it were queued before
    std::string checksum;
    std::optional<sys::FileTime> modified;
    std::string withdrawn;
    bool started = true;
};

class Reader {
public:
    Reader(const std::vector<Outgoing>& files, std::vector<std::vector<uint8_t>>& buffers, Checksum checksum);
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // The next piece; empty after the last.
    std::optional<Piece> next() { return ready_.pop(); }
    // A buffer of bytes that went: the reader fills it again.
    void giveBack(size_t buffer) { free_.push(buffer); }

private:
    void run();
    bool readFile(size_t index, FileHash& hash);
    bool readBytes(size_t index, sys::FileToSend& in, FileHash& hash, Piece& end);

    const std::vector<Outgoing>& files_;
    std::vector<std::vector<uint8_t>>& buffers_;
    const Checksum checksum_;
    Queue<size_t> free_;
    Queue<Piece> ready_;
    std::thread thread_;
};

}  // namespace dyad
