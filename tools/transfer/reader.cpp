#include "tools/transfer/reader.h"

namespace dyad {

Reader::Reader(const std::vector<Outgoing>& files, std::vector<std::vector<uint8_t>>& buffers, Checksum checksum)
    : files_(files), buffers_(buffers), checksum_(checksum) {
    for (size_t i = 0; i < buffers_.size(); ++i) free_.push(i);
    thread_ = std::thread([this] { run(); });
}

Reader::~Reader() {
    free_.close();
    thread_.join();
}

void Reader::run() {
    FileHash hash(checksum_);
    for (size_t index = 0; index < files_.size(); ++index) {
        if (!readFile(index, hash)) break;
    }
    ready_.close();
}

// Queues the file's bytes and its end; false when the sending has stopped.
bool Reader::readFile(size_t index, FileHash& hash) {
    const Outgoing& file = files_[index];
    Piece end;
    end.kind = file.folder ? Piece::folder : Piece::end;
    end.file = index;
    end.size = file.size;
    if (file.folder) {
        ready_.push(std::move(end));
        return true;
    }
    sys::FileToSend in;
    sys::FileTime opened;
    if (!in.open(file.root, file.inside, &end.withdrawn) || !in.state(&end.size, &opened)) {
        if (end.withdrawn.empty()) end.withdrawn = "its size and time cannot be read";
        end.started = false;
        end.size = file.size;
        ready_.push(std::move(end));
        return true;
    }
    if (!readBytes(index, in, hash, end)) return false;
    // What was read is the file as it was opened only when neither its size
    // nor its time has changed since.
    uint64_t size = 0;
    sys::FileTime now;
    if (end.withdrawn.empty() && (!in.state(&size, &now) || size != end.size || now.seconds != opened.seconds ||
                                  now.nanoseconds != opened.nanoseconds)) {
        end.withdrawn = "it changed while it was sent";
    }
    if (end.withdrawn.empty()) {
        end.checksum = hash.finish();
    } else {
        (void)hash.finish();  // starts the next file's afresh
    }
    if (end.started) end.modified = opened;
    ready_.push(std::move(end));
    return true;
}

// Queues the bytes of the open file, `end.size` of them, block by block;
// a file that cannot be read whole gets the reason in `end.withdrawn`.
// False when the sending has stopped.
bool Reader::readBytes(size_t index, sys::FileToSend& in, FileHash& hash, Piece& end) {
    uint64_t left = end.size;
    bool first = true;
    do {
        const std::optional<size_t> buffer = free_.pop();
        if (!buffer) return false;
        std::vector<uint8_t>& bytes = buffers_[*buffer];
        const size_t want = left < bytes.size() ? static_cast<size_t>(left) : bytes.size();
        // In slices that stay in the processor's cache between the read and
        // the hash.
        for (size_t at = 0; end.withdrawn.empty() && at < want;) {
            const size_t slice = want - at < hashSlice ? want - at : hashSlice;
            const int64_t got = in.read(bytes.data() + at, slice, &end.withdrawn);
            if (got < 0) {
                end.withdrawn = "cannot read it (" + end.withdrawn + ")";
            } else if (got == 0) {
                end.withdrawn = "it shrank while it was sent";
            } else {
                hash.update(bytes.data() + at, static_cast<size_t>(got));
                at += static_cast<size_t>(got);
            }
        }
        if (!end.withdrawn.empty()) {
            free_.push(*buffer);
            end.started = !first;
            return true;
        }
        left -= want;
        Piece piece;
        piece.kind = Piece::bytes;
        piece.file = index;
        piece.size = end.size;
        piece.buffer = *buffer;
        piece.length = static_cast<uint32_t>(want);
        piece.first = first;
        ready_.push(std::move(piece));
        first = false;
    } while (left > 0);
    return true;
}

}  // namespace dyad
