// How earlier dyad senders move a file over a pairing: the blocks that carry
// it, their names, the checksum block, the block sizes and the buffers in
// flight. Today's sender sends a whole transfer as one stream instead
// (stream_format.h); this receiver still takes the file-per-series format
// described here, telling the two apart by the first name of the first
// block, and both sides still follow the block sizes and buffers below. A
// change here is a change of what peers rely on.
//
// Each file is one series of blocks on one connection:
//
//   type 21   first name: the file's name; second name: its size in decimal;
//             data: the file's first bytes (up to one block; none for an
//             empty file)
//   type 22   the same names; data: the next bytes (as many blocks as needed)
//   type 22   no data; second name: "mtime=" and the file's modification
//             time in nanoseconds since 1970-01-01 UTC, a decimal integer
//             (negative before 1970); just before the checksum block
//   type 20   first name: the file's name; second name: the checksum's name,
//             "xxh128" or "sha256"; data: the checksum of all the file's bytes
//             in lowercase hexadecimal digits, as `xxhsum -H2` (32 digits of
//             XXH3-128) or sha256sum (64 digits of SHA-256) prints it
//
// A sender that cannot send a file as it listed it (the file changed while
// it was read, could not be read, or is no longer a regular file of its
// folder) ends the file's series, or a series of a type 21 block without
// data that it starts for it, with a type 20 block whose data is no checksum
// (withdrawnDigits()): every receiver refuses the file by name, and stores
// nothing under it.
//
// A file of a folder is named by its path: the folder's name, the names of
// the folders below it and the file's name, joined by '/' (every one of
// them a name that the receiver stores, base/names.cpp). A folder that holds
// nothing that is sent travels as one block of its own:
//
//   type 21   first name: the folder's path and a '/' after it; second name:
//             "folder"; no data
//
// Receivers from before folders refuse every path by its '/', saying so for
// each; they take the time block for an empty piece of the file and ignore
// it.
//
// Senders name xxh128 unless asked for sha256 (`dyad send --checksum`); the
// check guards against accidental corruption between two workstations of a
// LAN, for which a 128-bit hash is enough and costs a fraction of SHA-256's
// time. Senders before xxh128 named sha256 always.
//
// The receiver writes the bytes into a part file of its own beside the
// target, compares the size and the checksum when the type 20 block arrives,
// waits until its bytes are on the disk (for a batch of files at once), and
// only then gives the file its name; a file that fails either check is removed and reported by name (exit
// status 10). A name is stored exactly as sent, or refused (base/names.cpp).
// The receiver hashes the bytes as they come with the checksum that the
// sender named for its previous file (for the first, xxh128 unless `dyad
// receive --checksum` says otherwise); a file that names the other one is
// read back from its part file once to compute it.
// Earlier senders sent a file as such a series without the checksum block
// (its type 20 block carried the last bytes and the size as its second name)
// or, when it fitted one block, as a single block of type 1. Such files
// cannot be verified, nor can a file whose checksum has a name that the
// receiver does not know: the receiver refuses them unless
// --accept-unverified is given (and then says, for each, that it was not
// verified). A receiver from before the checksum block appends the digits
// to the file and refuses it for its size, and so does one from before
// xxh128 with an xxh128 file: neither ever stores a wrong file under the
// right name (such receivers take --checksum sha256).
//
// Both sides keep disk and network busy at once: the sender reads and hashes
// the next block on a thread of its own while the library sends the current
// one, and the receiver hands each received block to a thread that hashes and
// writes it while the library receives the next. A fixed number of block
// buffers circulates between the two threads (transfer/reader.h,
// commands/receive.cpp). The blocks are read by format/decode.h and made by
// format/encode.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace dyad {

// The checksums that a file's type 20 block may name, in its second name.
enum class Checksum { xxh128, sha256 };
struct ChecksumFormat {
    Checksum kind;
    const char* name;   // the second name of the block
    uint32_t digits;    // bytes of the block: the digest in hexadecimal digits
    const char* title;  // for people
};
inline constexpr ChecksumFormat checksumFormats[] = {
    {Checksum::xxh128, "xxh128", 32, "XXH3-128"},
    {Checksum::sha256, "sha256", 64, "SHA-256"},
};
inline constexpr Checksum defaultChecksum = Checksum::xxh128;

inline const ChecksumFormat& formatOf(Checksum kind) {
    return checksumFormats[kind == Checksum::xxh128 ? 0 : 1];
}
// The checksum of that name, or null when the name is no checksum's.
inline const ChecksumFormat* checksumNamed(std::string_view name) {
    for (const ChecksumFormat& format : checksumFormats) {
        if (name == format.name) return &format;
    }
    return nullptr;
}

// The second name of an empty folder's block, and the start of that of a
// modification time's block.
inline constexpr std::string_view folderMark = "folder";
inline constexpr std::string_view timeMark = "mtime=";

// The data of the type 20 block of a file that the sender withdraws: as many
// characters as the checksum's digits, which are no hexadecimal digits.
inline std::string withdrawnDigits(const ChecksumFormat& format) {
    std::string digits = "withdrawn";
    digits.resize(format.digits, '-');
    return digits;
}

// Buffers of one block each in circulation between the network thread and the
// disk thread, on either side: four keep both busy; two still overlap them
// when the blocks are large enough for memory to matter.
inline size_t blockBuffers(uint32_t blockSize) {
    return blockSize <= (16u << 20) ? 4 : 2;
}
inline constexpr uint32_t defaultBlockSize = 4u << 20;
inline constexpr uint32_t smallestBlockSize = 4096;  // a checksum block always fits

}  // namespace dyad
