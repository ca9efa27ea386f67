// The stream's reading side (stream_decoder.h): a state for each field of
// the format, fixed-width fields gathered across slices into a small buffer
// of their own, a path into a string of at most longestPath bytes, content
// handed out as spans of the slice fed.
#include "tools/format/stream_decoder.h"

#include <algorithm>
#include <cstring>

namespace dyad::stream {

void StreamDecoder::feed(std::span<const uint8_t> slice) {
    input_ = slice;
}

void StreamDecoder::expect(State state, size_t count) {
    state_ = state;
    need_ = count;
    have_ = 0;
}

bool StreamDecoder::gather(size_t count) {
    if (have_ == 0) fieldStart_ = offset_;
    const size_t taken = std::min(count - have_, input_.size());
    if (taken > 0) std::memcpy(field_.data() + have_, input_.data(), taken);
    input_ = input_.subspan(taken);
    offset_ += taken;
    have_ += taken;
    if (have_ < count) return false;
    have_ = 0;
    return true;
}

uint64_t StreamDecoder::number(size_t at, size_t width) const {
    uint64_t value = 0;
    for (size_t index = at; index < at + width; ++index) value = value << 8 | field_[index];
    return value;
}

StreamEvent StreamDecoder::fail(const char* reason, uint64_t offset) {
    state_ = State::failed;
    error_ = StreamEvent{};
    error_.kind = StreamEvent::error;
    error_.reason = reason;
    error_.offset = offset;
    return error_;
}

StreamEvent StreamDecoder::next() {
    for (;;) {
        switch (state_) {
            case State::failed:
                return error_;
            case State::ended:
                if (!input_.empty()) return fail("bytes after the end record", offset_);
                return {};
            case State::content: {
                if (input_.empty()) return {};
                const size_t count = static_cast<size_t>(std::min<uint64_t>(contentLeft_, input_.size()));
                StreamEvent event;
                event.kind = StreamEvent::content;
                event.data = input_.first(count);
                input_ = input_.subspan(count);
                offset_ += count;
                contentLeft_ -= count;
                if (contentLeft_ == 0) expect(State::trailer, 1 + digestSize(checksum_));
                return event;
            }
            case State::filePath:
            case State::folderPath: {
                if (!pathLengthRead_) {
                    if (!gather(pathLengthSize)) return {};
                    pathLength_ = static_cast<size_t>(number(0, pathLengthSize));
                    if (pathLength_ > longestPath) return fail("a path longer than 4096 bytes", fieldStart_);
                    pathLengthRead_ = true;
                    path_.clear();
                }
                const size_t count = std::min(pathLength_ - path_.size(), input_.size());
                if (count > 0) path_.append(reinterpret_cast<const char*>(input_.data()), count);
                input_ = input_.subspan(count);
                offset_ += count;
                if (path_.size() < pathLength_) return {};
                pathLengthRead_ = false;
                const StreamEvent event = pathDone();
                if (event.kind != StreamEvent::more) return event;
                break;
            }
            default: {
                if (!gather(need_)) return {};
                const StreamEvent event = fieldDone();
                if (event.kind != StreamEvent::more) return event;
                break;
            }
        }
    }
}

StreamEvent StreamDecoder::pathDone() {
    if (state_ == State::filePath) {
        expect(State::fileFields, fileFieldsSize);
        return {};  // the file's event comes with its fields
    }
    ++folders_;
    expect(State::kind, 1);
    StreamEvent event;
    event.kind = StreamEvent::folder;
    event.path = path_;
    return event;
}

StreamEvent StreamDecoder::fieldDone() {
    StreamEvent event;
    switch (state_) {
        case State::magic:
            if (!std::equal(streamMagic.begin(), streamMagic.end(), field_.begin())) {
                return fail("not a stream of this format (its first 8 bytes differ)", fieldStart_);
            }
            expect(State::header, headerSize - streamMagic.size());
            return event;
        case State::header:
            if (field_[0] > lastChecksum) return fail("a checksum that this dyad does not know", fieldStart_);
            if (field_[1] != 0) return fail("a header flag that this dyad does not know", fieldStart_ + 1);
            checksum_ = static_cast<StreamChecksum>(field_[0]);
            event.kind = StreamEvent::header;
            event.checksum = checksum_;
            event.files = number(2, 8);
            event.bytes = number(10, 8);
            expect(State::kind, 1);
            return event;
        case State::kind:
            switch (static_cast<RecordKind>(field_[0])) {
                case RecordKind::file:
                    state_ = State::filePath;
                    return event;
                case RecordKind::folder:
                    state_ = State::folderPath;
                    return event;
                case RecordKind::end:
                    expect(State::endFields, endFieldsSize);
                    return event;
            }
            return fail("a record of an unknown kind", fieldStart_);
        case State::fileFields:
            if ((field_[8] & ~hasTimeFlag) != 0)
                return fail("a time flag that this dyad does not know", fieldStart_ + 8);
            event.kind = StreamEvent::fileBegin;
            event.path = path_;
            event.size = number(0, 8);
            event.hasTime = (field_[8] & hasTimeFlag) != 0;
            event.time.seconds = static_cast<int64_t>(number(9, 8));
            event.time.nanoseconds = static_cast<uint32_t>(number(17, 4));
            if (event.time.nanoseconds >= nanosecondsPerSecond) {
                return fail("a modification time with 1,000,000,000 nanoseconds or more", fieldStart_ + 17);
            }
            ++files_;
            bytes_ += event.size;
            contentLeft_ = event.size;
            if (contentLeft_ > 0) {
                state_ = State::content;
            } else {
                expect(State::trailer, 1 + digestSize(checksum_));
            }
            return event;
        case State::trailer:
            if (field_[0] > lastStatus) return fail("a file status that this dyad does not know", fieldStart_);
            event.kind = StreamEvent::fileEnd;
            event.status = static_cast<FileStatus>(field_[0]);
            event.data = std::span<const uint8_t>(field_).subspan(1, digestSize(checksum_));
            expect(State::kind, 1);
            return event;
        case State::endFields:
            event.kind = StreamEvent::end;
            event.files = number(0, 8);
            event.folders = number(8, 8);
            event.bytes = number(16, 8);
            if (event.files != files_)
                return fail("an end record whose file count differs from the files sent", fieldStart_);
            if (event.folders != folders_) {
                return fail("an end record whose folder count differs from the folders sent", fieldStart_ + 8);
            }
            if (event.bytes != bytes_) {
                return fail("an end record whose byte count differs from the bytes sent", fieldStart_ + 16);
            }
            state_ = State::ended;
            return event;
        default:
            return fail("a decoder fault", offset_);  // no other state gathers a field
    }
}

StreamEvent StreamDecoder::finish() {
    const char* reason = "";
    switch (state_) {
        case State::failed:
            return error_;
        case State::ended:
            return next();
        case State::magic:
        case State::header:
            reason = "the stream ends inside its header";
            break;
        case State::kind:
            reason = "the stream ends before its end record";
            break;
        case State::filePath:
        case State::folderPath:
            reason = "the stream ends inside a path";
            break;
        case State::fileFields:
            reason = "the stream ends inside a file record";
            break;
        case State::content:
            reason = "the stream ends inside a file's content";
            break;
        case State::trailer:
            reason = "the stream ends inside a file's trailer";
            break;
        case State::endFields:
            reason = "the stream ends inside the end record";
            break;
    }
    return fail(reason, offset_);
}

}  // namespace dyad::stream
