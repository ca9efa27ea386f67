// Writing files as the blocks of a transfer (format.h), without any I/O: the
// encoder says which blocks carry an empty folder, a file's bytes and its
// end (its time and its checksum, or its withdrawal); the sender reads the
// files and hands the blocks to the library. The blocks of today's format
// are a series per file (SeriesEncoder); an encoder of another format would
// sit beside it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/format/format.h"

namespace dyad::format {

// One block to send under the name of its file or folder.
struct OutBlock {
    int32_t type = 0;
    std::string second;
    const void* data = "";  // `length` bytes, which stay the caller's
    uint32_t length = 0;
};

// Whether a modification time (seconds since 1970-01-01 UTC) fits the time
// block, which counts nanoseconds in 64 bits: from 1677 to 2262.
bool timeTravels(int64_t seconds);

class SeriesEncoder {
public:
    explicit SeriesEncoder(Checksum checksum)
        : format_(formatOf(checksum)), withdrawn_(withdrawnDigits(format_)) {}

    const ChecksumFormat& checksum() const { return format_; }
    // The block of an empty folder, which is named by its path and a '/'.
    static OutBlock folder();
    // Bytes of a file of `size` bytes: its first block, or a later one.
    static OutBlock bytes(uint64_t size, const void* data, uint32_t length, bool first);
    // The blocks that end a file of `size` bytes: its modification time when
    // it travels, and the checksum block with `digits`, or, when `digits` is
    // null, the block that withdraws it; `started`: whether a block of it
    // went before (else an empty first block opens it). `digits` stays the
    // caller's.
    std::vector<OutBlock> end(uint64_t size, bool started, std::optional<int64_t> seconds, uint32_t nanoseconds,
                              const std::string* digits) const;

private:
    const ChecksumFormat& format_;
    const std::string withdrawn_;
};

}  // namespace dyad::format
