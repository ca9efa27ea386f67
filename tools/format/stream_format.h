// How the dyad command moves a whole transfer (files and folders) as one
// stream of bytes in one series of blocks on one connection: the blocks, the
// stream's header and records, every field, and what a receiver does with
// each. The encoder (stream_encoder.h) writes it and the decoder
// (stream_decoder.h) reads it; neither does any I/O. A change here is a
// change of what peers rely on.
//
// The blocks. Every block of the transfer carries the same two names:
//
//   first name   "dyad:stream" (streamName)
//   second name  "1", the plain stream (plainVariant), or "1-sealed", the
//                private stream (sealedVariant) of a transfer made with a
//                one-time code (dyad --code); a variant that carries the
//                stream otherwise names itself here with a name of its own
//
// The first block is of type 21, those after it of type 22, the last of type
// 20; a transfer is exactly one such series. The blocks' data, taken in
// order, are consecutive slices of one byte stream: a block may end anywhere
// in a record, and the next block goes on with the next byte. Every block
// carries at least one byte, and the last ends with the end record. A
// stream that fits one block still goes as a series of two: its first part
// in a type 21 block and the rest in a type 20 block (the library closes the
// connection after a type 20 block, and a lone one would be no series).
// A receiver tells this format from the file-per-series one (format.h) by
// the first name of the first block.
//
// The private stream. Every block of the series is named "1-sealed", and its
// data is [salt, the first block only] [sealed payload] [tag], sealed and
// opened as seal/seal.h describes (the block's type and names are bound to
// it, and so is its position in the series). The payloads, opened and taken
// in order, are the plain stream below, byte for byte, and every rule of the
// plain stream holds for them: at least one byte each, a one-block stream
// goes as two. A receiver opens each block before it reads a byte of its
// payload; the first block that does not open ends the transfer, and a
// series that ends before its type 20 block opened is cut short. A receiver
// with a code refuses a plain stream (it proves nothing), and a receiver
// without one refuses a private stream by its second name.
//
// Receivers of the file-per-series format refuse the stream as a file by
// its name: the colon makes it a name that no Windows system stores, which
// every released receiver refuses. The second name "1" reads to them as a
// size of one byte, and a stream is always longer (the header alone is 26
// bytes), so that even a receiver that took the name would refuse the file
// for its size. Either way it stores nothing and exits with a failure.
//
// The stream. Integers are unsigned and big-endian unless said otherwise,
// each of the fixed width given; a length-prefixed path is a u16 byte count
// and then that many bytes.
//
//   header (26 bytes)
//     magic      8 bytes "DYADSTR1" (streamMagic): anything else is no
//                stream of this format; the receiver stops
//     checksum   u8: 0 XXH3-128 (16-byte digests), 1 SHA-256 (32 bytes);
//                another value stops the receiver (it cannot tell where a
//                digest ends)
//     flags      u8: none is defined, all are 0; a flag that the receiver
//                does not know stops it (a flag would change how the
//                stream reads)
//     files      u64: the number of file records the sender announces
//     bytes      u64: the number of content bytes it announces
//                (both only for showing progress: the end record counts)
//
//   then any number of records, each beginning with its kind (u8):
//
//   file (kind 1)
//     path       u16 length (at most longestPath) and the path's bytes:
//                folder names and the file's name joined by '/', as the
//                file-per-series format names a file; the receiver applies
//                its name rule to it as it does there
//     size       u64: the number of content bytes that follow
//     time flags u8: bit 0 set: the file has a modification time (the
//                sender leaves times out on request); other bits are 0
//     seconds    i64 (two's complement): the modification time's seconds
//                since 1970-01-01 UTC, negative before; 0 without a time
//     nanosecs   u32: below 1,000,000,000; 0 without a time
//     content    exactly `size` bytes: the file's bytes
//     status     u8: 0 ok; 1 withdrawn: the file changed, shrank or became
//                unreadable while the sender read it, and its content is
//                not the file (the sender fills what it could not read with
//                any bytes); the receiver drops the file by name and
//                stores nothing under it; another value stops the receiver
//     digest     16 or 32 bytes, as the header's checksum says: the raw
//                digest of the content bytes, in the order of the digits
//                that xxhsum -H2 and sha256sum print; for a withdrawn file
//                any bytes
//
//   empty folder (kind 2)
//     path       u16 length and bytes, as a file's: a folder that holds
//                nothing that is sent; the receiver makes it (with the
//                folders above it)
//
//   end (kind 3), the last record; no byte may follow it
//     files      u64: the number of file records sent (withdrawn included)
//     folders    u64: the number of empty-folder records sent
//     bytes      u64: the sum of their sizes (content bytes sent)
//
// Kind 0 and every kind above 3 stop the receiver.
//
// What a receiver does. It reads the stream incrementally (any slice of it
// at a time, with bounded memory: a path of at most longestPath bytes is the
// only field that it keeps whole). A fault of the stream itself (bad magic,
// an unknown checksum, flag, kind or status, a path longer than
// longestPath, nanoseconds out of range, a byte after the end record, an
// end record whose counts differ from the records that came, or a series
// that ends before the end record) is a stream error: the receiver stops
// there, says why and at which byte of the stream, and keeps the files that
// were complete before it. A fault of one file (a name that the receiver
// does not store, a digest that differs, a file it cannot write) refuses
// that file alone: the receiver passes over its `size` content bytes and its
// trailer, the stream stays in step, and the files after it still arrive. A
// damaged content byte therefore fails only its own file's digest.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace dyad::stream {

// The names of every block of a stream transfer.
inline constexpr std::string_view streamName = "dyad:stream";
inline constexpr std::string_view plainVariant = "1";
inline constexpr std::string_view sealedVariant = "1-sealed";

inline constexpr std::array<uint8_t, 8> streamMagic = {'D', 'Y', 'A', 'D', 'S', 'T', 'R', '1'};
inline constexpr size_t headerSize = 26;  // magic, checksum, flags, files, bytes

// The longest path that a file or folder record may carry, in bytes.
inline constexpr size_t longestPath = 4096;

// The checksum of the header, by its value on the wire.
enum class StreamChecksum : uint8_t { xxh128 = 0, sha256 = 1 };
inline constexpr uint8_t lastChecksum = 1;
// The bytes of a digest of that checksum.
inline constexpr size_t digestSize(StreamChecksum checksum) {
    return checksum == StreamChecksum::xxh128 ? 16 : 32;
}
inline constexpr size_t longestDigest = 32;

// The kind of a record, its first byte.
enum class RecordKind : uint8_t { file = 1, folder = 2, end = 3 };

// The status byte of a file's trailer.
enum class FileStatus : uint8_t { ok = 0, withdrawn = 1 };
inline constexpr uint8_t lastStatus = 1;

// A file record's time flags: bit 0, the file has a modification time.
inline constexpr uint8_t hasTimeFlag = 0x01;
inline constexpr uint32_t nanosecondsPerSecond = 1000000000;

// The fixed-width fields of the records, in bytes.
inline constexpr size_t pathLengthSize = 2;
inline constexpr size_t fileFieldsSize = 8 + 1 + 8 + 4;  // size, time flags, seconds, nanoseconds
inline constexpr size_t endFieldsSize = 8 + 8 + 8;       // files, folders, bytes

// A file's modification time, when it travels.
struct FileTime {
    int64_t seconds = 0;       // since 1970-01-01 UTC, negative before
    uint32_t nanoseconds = 0;  // below nanosecondsPerSecond
};

}  // namespace dyad::stream
