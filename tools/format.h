// How the dyad command moves a file over a pairing: the blocks that carry it,
// their names, the checksum block, the block sizes and the buffers in flight.
// Both sides follow this; a change here is a change of what peers rely on.
//
// Each file is one series of blocks on one connection:
//
//   type 21   first name: the file's name; second name: its size in decimal;
//             data: the file's first bytes (up to one block; none for an
//             empty file)
//   type 22   the same names; data: the next bytes (as many blocks as needed)
//   type 20   first name: the file's name; second name "sha256"; data: the
//             SHA-256 of all the file's bytes as 64 lowercase hexadecimal
//             digits (as sha256sum prints it)
//
// The receiver writes the bytes into a part file of its own beside the
// target, compares the size and the SHA-256 when the type 20 block arrives,
// waits until its bytes are on the disk, and only then gives the file its
// name; a file that fails either check is removed and reported by name (exit
// status 10). A name is stored exactly as sent, or refused (names.cpp).
// Earlier senders sent a file as such a series without the checksum block
// (its type 20 block carried the last bytes and the size as its second name)
// or, when it fitted one block, as a single block of type 1. Such files
// cannot be verified: the receiver refuses them unless --accept-unverified is
// given (and then says, for each, that it was not verified). A receiver from
// before the checksum block appends the 64 digits to the file and refuses it
// for its size: it never stores a wrong file under the right name.
//
// Both sides keep disk and network busy at once: the sender reads and hashes
// the next block on a thread of its own while the library sends the current
// one, and the receiver hands each received block to a thread that hashes and
// writes it while the library receives the next. A fixed number of block
// buffers circulates between the two threads (send.cpp, receive.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

namespace dyad {

// The second name of the block that carries a file's SHA-256.
inline constexpr const char* checksumName = "sha256";
// Bytes of that block: the digest as lowercase hexadecimal digits.
inline constexpr uint32_t checksumLength = 64;
// Buffers of one block each in circulation between the network thread and the
// disk thread, on either side: four keep both busy; two still overlap them
// when the blocks are large enough for memory to matter.
inline size_t blockBuffers(uint32_t blockSize) {
    return blockSize <= (16u << 20) ? 4 : 2;
}
inline constexpr uint32_t defaultBlockSize = 4u << 20;
inline constexpr uint32_t smallestBlockSize = 4096;  // a checksum block always fits

}  // namespace dyad
