// The writing side of the stream format (stream_format.h), without I/O: it
// turns records into the bytes of the stream, straight into block buffers
// that the caller owns, and says when a buffer is full. A file's content is
// never copied by the encoder when the caller reads it into room(); the
// only bytes it keeps itself are those of one record's fixed fields and
// path that did not fit the buffer (at most a few KiB).
//
// The caller's loop, with one buffer per block:
//
//   StreamEncoder encoder(checksum, files, bytes);
//   encoder.give(buffer, blockSize);
//   for each record: call beginFile, room and wrote (or content), endFile;
//       or folder; or end;
//   after give() and after every call:
//       while (encoder.full() && !encoder.done()) {
//           hand the encoder.filled() bytes on as a block; give a new buffer }
//   when done(): the encoder.filled() bytes of the current buffer are the
//   last block (type 20); every block before it is full.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "tools/format/stream_format.h"

namespace dyad::stream {

class StreamEncoder {
public:
    // Starts a stream of the checksum `checksum`, announcing `files` file
    // records and `bytes` content bytes (for the receiver's progress only).
    // The header waits for the first buffer.
    StreamEncoder(StreamChecksum checksum, uint64_t files, uint64_t bytes);

    // Gives the buffer of the next block: `size` bytes (at least one) at
    // `block`, which stays the caller's and must stay valid until the
    // encoder is full() again or done(). The encoder writes from its start,
    // first what waits of the record before. Replaces the current buffer,
    // which the caller has handed on.
    void give(uint8_t* block, size_t size);
    // The bytes written into the current buffer.
    size_t filled() const { return filled_; }
    // Whether the current buffer has no room left (or none was given): the
    // caller hands it on and gives a new one before the next call. Bytes of
    // the record before may wait for it.
    bool full() const { return buffer_ == nullptr || filled_ == size_; }
    // Whether the end record is written whole: the current buffer, full or
    // not, is the stream's last block, and no call writes more.
    bool done() const { return state_ == State::ended && waiting() == 0; }

    // The record calls below write into the current buffer as far as it
    // goes and keep the rest for the next. Each takes effect and returns
    // true, or returns false and writes nothing when the call does not fit:
    // the buffer is full(), the stream is not between records (or, for
    // content and endFile, not inside a file), or an argument is out of
    // range, as each says.

    // Begins a file record: its path (at most longestPath bytes), its size
    // and its modification time, when it travels. Its content follows, then
    // endFile().
    [[nodiscard]] bool beginFile(std::string_view path, uint64_t size, std::optional<FileTime> time);
    // The place in the buffer for the next content bytes of the file in
    // progress: at most the bytes of the file still to come; empty when the
    // buffer is full or the content complete. The caller reads into it and
    // then says with wrote() how many bytes it put there.
    std::span<uint8_t> room();
    // Counts `count` bytes (at most room().size()) that the caller put into
    // room() as the file's next content bytes.
    [[nodiscard]] bool wrote(size_t count);
    // Copies up to `count` content bytes from `bytes` into room(); returns
    // how many it took (fewer when the buffer fills).
    size_t content(const uint8_t* bytes, size_t count);
    // Ends the file in progress with its trailer. `ok`: all its content was
    // written and `digest` holds digestSize() bytes. `withdrawn`: the
    // content bytes still to come are written as zeros (in as many buffers
    // as they take) and `digest` is ignored.
    [[nodiscard]] bool endFile(FileStatus status, std::span<const uint8_t> digest);
    // An empty folder's record: its path (at most longestPath bytes).
    [[nodiscard]] bool folder(std::string_view path);
    // The end record, with the counts of what was sent; nothing comes after
    // it.
    [[nodiscard]] bool end();

    // The bytes of content of the file in progress still to come.
    uint64_t contentLeft() const { return contentLeft_; }

private:
    enum class State { records, content, ended };

    bool between() const { return state_ == State::records && !full(); }
    uint64_t waiting() const { return zeros_ + (staged_ - sent_); }
    void stageByte(uint8_t value);
    void stageNumber(uint64_t value, size_t width);
    void stagePath(std::string_view path);
    // Moves what waits into the buffer, as far as it goes.
    void drain();

    StreamChecksum checksum_;
    State state_ = State::records;
    uint8_t* buffer_ = nullptr;
    size_t size_ = 0;
    size_t filled_ = 0;
    uint64_t contentLeft_ = 0;
    // What waits for room: zeros of a withdrawn file's content first, then
    // the staged bytes [sent_, staged_) of one record's fields.
    uint64_t zeros_ = 0;
    std::array<uint8_t, 1 + pathLengthSize + longestPath + fileFieldsSize> stage_{};
    size_t staged_ = 0;
    size_t sent_ = 0;
    // What the end record counts.
    uint64_t files_ = 0;
    uint64_t folders_ = 0;
    uint64_t bytes_ = 0;
};

}  // namespace dyad::stream
