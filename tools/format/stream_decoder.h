// The reading side of the stream format (stream_format.h), without I/O: fed
// the stream in slices of any size (whole blocks, pieces of them, a byte at
// a time), it yields the stream's events one by one, or the first fault of
// the stream with its reason and the offset of the byte at fault. Its memory
// is bounded whatever the input: it keeps one path (at most longestPath
// bytes) and one fixed-width field (at most a digest and its status byte);
// content bytes are never copied, each content event points into the slice
// that was fed.
//
// The caller's loop, for each block's data:
//
//   decoder.feed(data);
//   for (StreamEvent event; (event = decoder.next()).kind != StreamEvent::more;) {
//       handle the event; stop at an error
//   }
//
// and when the series ends (its last block arrived, or the peer went away):
// decoder.finish(), which says whether the stream was whole.
//
// A receiver that refuses one file (its name, its digest, its disk) just
// passes over that file's content events and its fileEnd: the decoder stays
// in step whatever the receiver does with the events.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "tools/format/stream_format.h"

namespace dyad::stream {

// One event of the stream; the fields that its kind names are set.
struct StreamEvent {
    enum Kind : uint8_t {
        more,       // the slice fed is used up: feed the next one
        header,     // checksum; files and bytes: the totals the sender announces
        fileBegin,  // path, size, hasTime and time: a file's record begins
        content,    // data: the next content bytes of that file (a part of the fed slice)
        fileEnd,    // status and data (the digest): the file's trailer
        folder,     // path: an empty folder
        end,        // files, folders and bytes: the end record, which matched the records
        error,      // reason and offset: the stream is faulty; nothing more comes
    };
    Kind kind = more;
    StreamChecksum checksum = StreamChecksum::xxh128;
    // The path of a fileBegin or folder event, in the decoder's memory: valid
    // until the next call of next().
    std::string_view path;
    uint64_t size = 0;
    bool hasTime = false;
    FileTime time;
    FileStatus status = FileStatus::ok;
    // The bytes of a content event (in the fed slice) or the digest of a
    // fileEnd event (in the decoder's memory, valid until the next call).
    std::span<const uint8_t> data;
    uint64_t files = 0;
    uint64_t folders = 0;
    uint64_t bytes = 0;
    const char* reason = "";  // an error: what is wrong, for people
    uint64_t offset = 0;      // an error: the stream offset of the byte at fault
};

class StreamDecoder {
public:
    // Takes the next slice of the stream, which must stay valid while
    // next() yields events of it. A slice fed before the one before it was
    // used up (next() returned more) replaces what was left of it, so the
    // caller feeds only after more.
    void feed(std::span<const uint8_t> slice);
    // The next event of the slice fed, or `more` when it is used up. After
    // an error, every call returns that error again.
    StreamEvent next();
    // The input ended: `more` when the stream ended with its end record and
    // nothing after it, else an error (the stream was cut short; the offset
    // is where it ends).
    StreamEvent finish();
    // The bytes of the stream taken so far.
    uint64_t offset() const { return offset_; }
    // Whether the end record arrived and matched.
    bool ended() const { return state_ == State::ended; }

private:
    enum class State {
        magic,       // the header's first 8 bytes
        header,      // the rest of the header
        kind,        // a record's first byte
        filePath,    // a file record's path length and path
        folderPath,  // a folder record's path length and path
        fileFields,  // size, time flags, seconds, nanoseconds
        content,
        trailer,  // status and digest
        endFields,
        ended,
        failed,
    };

    // Gathers `count` bytes of a fixed-width field into field_; true once
    // they are all there.
    bool gather(size_t count);
    void expect(State state, size_t count);
    uint64_t number(size_t at, size_t width) const;
    StreamEvent fail(const char* reason, uint64_t offset);
    // What the bytes of a complete field mean: an event, or `more` to go on.
    StreamEvent fieldDone();
    StreamEvent pathDone();

    State state_ = State::magic;
    std::span<const uint8_t> input_;
    uint64_t offset_ = 0;
    uint64_t fieldStart_ = 0;  // the stream offset of the field being gathered
    std::array<uint8_t, 1 + longestDigest> field_{};
    size_t need_ = streamMagic.size();
    size_t have_ = 0;
    bool pathLengthRead_ = false;
    size_t pathLength_ = 0;
    std::string path_;
    StreamChecksum checksum_ = StreamChecksum::xxh128;
    uint64_t contentLeft_ = 0;
    // What the records so far count, for the end record.
    uint64_t files_ = 0;
    uint64_t folders_ = 0;
    uint64_t bytes_ = 0;
    StreamEvent error_;
};

}  // namespace dyad::stream
