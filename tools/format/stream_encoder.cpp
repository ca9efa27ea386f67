// The stream's writing side (stream_encoder.h): records staged as big-endian
// fields and moved into the caller's block buffers, content written by the
// caller straight into them.
#include "tools/format/stream_encoder.h"

#include <algorithm>
#include <cstring>

namespace dyad::stream {

StreamEncoder::StreamEncoder(StreamChecksum checksum, uint64_t files, uint64_t bytes) : checksum_(checksum) {
    for (uint8_t byte : streamMagic) stageByte(byte);
    stageByte(static_cast<uint8_t>(checksum));
    stageByte(0);  // flags: none
    stageNumber(files, 8);
    stageNumber(bytes, 8);
}

void StreamEncoder::give(uint8_t* block, size_t size) {
    buffer_ = size > 0 ? block : nullptr;
    size_ = size;
    filled_ = 0;
    drain();
}

void StreamEncoder::stageByte(uint8_t value) {
    stage_[staged_++] = value;
}

void StreamEncoder::stageNumber(uint64_t value, size_t width) {
    for (size_t shift = width * 8; shift > 0; shift -= 8) stageByte(static_cast<uint8_t>(value >> (shift - 8)));
}

void StreamEncoder::stagePath(std::string_view path) {
    stageNumber(path.size(), pathLengthSize);
    if (!path.empty()) std::memcpy(stage_.data() + staged_, path.data(), path.size());
    staged_ += path.size();
}

void StreamEncoder::drain() {
    if (buffer_ == nullptr) return;
    if (zeros_ > 0) {
        const size_t count = static_cast<size_t>(std::min<uint64_t>(zeros_, size_ - filled_));
        std::memset(buffer_ + filled_, 0, count);
        filled_ += count;
        zeros_ -= count;
        if (zeros_ > 0) return;
    }
    const size_t count = std::min(staged_ - sent_, size_ - filled_);
    if (count > 0) std::memcpy(buffer_ + filled_, stage_.data() + sent_, count);
    filled_ += count;
    sent_ += count;
    if (sent_ == staged_) sent_ = staged_ = 0;
}

bool StreamEncoder::beginFile(std::string_view path, uint64_t size, std::optional<FileTime> time) {
    if (!between() || path.size() > longestPath) return false;
    if (time && time->nanoseconds >= nanosecondsPerSecond) return false;
    stageByte(static_cast<uint8_t>(RecordKind::file));
    stagePath(path);
    stageNumber(size, 8);
    stageByte(time ? hasTimeFlag : 0);
    stageNumber(time ? static_cast<uint64_t>(time->seconds) : 0, 8);
    stageNumber(time ? time->nanoseconds : 0, 4);
    drain();
    state_ = State::content;
    contentLeft_ = size;
    ++files_;
    bytes_ += size;
    return true;
}

std::span<uint8_t> StreamEncoder::room() {
    if (state_ != State::content || full()) return {};
    const size_t count = static_cast<size_t>(std::min<uint64_t>(contentLeft_, size_ - filled_));
    return {buffer_ + filled_, count};
}

bool StreamEncoder::wrote(size_t count) {
    if (count > room().size()) return false;
    filled_ += count;
    contentLeft_ -= count;
    return true;
}

size_t StreamEncoder::content(const uint8_t* bytes, size_t count) {
    const std::span<uint8_t> into = room();
    const size_t taken = std::min(count, into.size());
    if (taken > 0) std::memcpy(into.data(), bytes, taken);
    filled_ += taken;
    contentLeft_ -= taken;
    return taken;
}

bool StreamEncoder::endFile(FileStatus status, std::span<const uint8_t> digest) {
    if (state_ != State::content || full()) return false;
    const size_t digestBytes = digestSize(checksum_);
    if (status == FileStatus::ok && (contentLeft_ > 0 || digest.size() != digestBytes)) return false;
    if (status != FileStatus::ok && status != FileStatus::withdrawn) return false;
    zeros_ = contentLeft_;
    contentLeft_ = 0;
    stageByte(static_cast<uint8_t>(status));
    for (size_t at = 0; at < digestBytes; ++at) stageByte(status == FileStatus::ok ? digest[at] : 0);
    drain();
    state_ = State::records;
    return true;
}

bool StreamEncoder::folder(std::string_view path) {
    if (!between() || path.size() > longestPath) return false;
    stageByte(static_cast<uint8_t>(RecordKind::folder));
    stagePath(path);
    drain();
    ++folders_;
    return true;
}

bool StreamEncoder::end() {
    if (!between()) return false;
    stageByte(static_cast<uint8_t>(RecordKind::end));
    stageNumber(files_, 8);
    stageNumber(folders_, 8);
    stageNumber(bytes_, 8);
    drain();
    state_ = State::ended;
    return true;
}

}  // namespace dyad::stream
