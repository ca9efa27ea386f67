#include "tools/transfer/reader.h"

#include "tools/base/names.h"
#include "tools/format/encode.h"
#include "tools/transfer/collection.h"

namespace dyad {

namespace {

stream::StreamChecksum streamChecksum(Checksum checksum) {
    return checksum == Checksum::sha256 ? stream::StreamChecksum::sha256 : stream::StreamChecksum::xxh128;
}

}  // namespace

std::vector<uint8_t> digestOf(const std::string& digits) {
    const auto value = [](char digit) {
        return static_cast<uint8_t>(digit <= '9' ? digit - '0' : digit - 'a' + 10);
    };
    std::vector<uint8_t> digest(digits.size() / 2);
    for (size_t at = 0; at < digest.size(); ++at) {
        digest[at] = static_cast<uint8_t>(value(digits[2 * at]) << 4 | value(digits[2 * at + 1]));
    }
    return digest;
}

Reader::Reader(const std::vector<std::string>& arguments, std::vector<std::vector<uint8_t>>& buffers,
               Checksum checksum, uint64_t files, uint64_t bytes, size_t firstFront, size_t behind)
    : arguments_(arguments),
      buffers_(buffers),
      checksum_(checksum),
      front_(firstFront),
      behind_(behind),
      encoder_(streamChecksum(checksum), files, bytes),
      hash_(checksum) {
    for (size_t i = 0; i < buffers_.size(); ++i) free_.push(i);
    thread_ = std::thread([this] { run(); });
}

Reader::~Reader() {
    free_.close();
    thread_.join();
}

bool Reader::take() {
    const std::optional<size_t> buffer = free_.pop();
    if (!buffer) {
        stopped_ = true;
        return false;
    }
    current_.buffer = *buffer;
    current_.offset = front_;
    content_ = 0;
    std::vector<uint8_t>& bytes = buffers_[*buffer];
    encoder_.give(bytes.data() + front_, bytes.size() - front_ - behind_);
    front_ = 0;
    return true;
}

bool Reader::handOn() {
    while (!stopped_ && encoder_.full() && !encoder_.done()) {
        current_.length = static_cast<uint32_t>(encoder_.filled());
        current_.extra = encoder_.filled() - content_;
        ready_.push(std::move(current_));
        current_ = StreamBlock{};
        if (!take()) return false;
    }
    return !stopped_;
}

void Reader::skip(const std::string& message) {
    current_.withdrawn.push_back(message);
}

void Reader::run() {
    Walk walk;
    walk.file = [this](const Outgoing& entry) {
        bool sent = false;
        ++current_.found;
        if (!stopped_) sendFile(entry, &sent);
        return sent;
    };
    walk.emptyFolder = [this](const Outgoing& entry) {
        if (stopped_) return false;
        ++current_.found;
        if (const std::string refused = refusedName(entry); !refused.empty()) {
            skip("skipped " + escaped(entry.path) + ", which appeared after the check: " + refused);
            return false;
        }
        if (!encoder_.folder(entry.name)) {
            skip("skipped " + escaped(entry.path) + ": its path is too long");
            return false;
        }
        handOn();
        return true;
    };
    walk.say = [this](const std::string& message) { current_.notes.push_back(message); };
    walk.problem = [this](const std::string& problem) {
        if (!stopped_) skip("skipped: " + problem);
    };
    if (take()) {
        for (const std::string& argument : arguments_) {
            walk.argument(argument);
            if (stopped_) break;
        }
        if (!stopped_ && encoder_.end() && handOn()) {
            current_.length = static_cast<uint32_t>(encoder_.filled());
            current_.extra = encoder_.filled() - content_;
            current_.last = true;
            ready_.push(std::move(current_));
        }
    }
    ready_.close();
}

// Writes the file's record: its bytes as it reads them, hashed on the way,
// and its trailer, withdrawn when the file did not stay as it was opened.
bool Reader::sendFile(const Outgoing& entry, bool* sent) {
    sys::FileToSend in;
    std::string problem;
    if (!in.open(entry.root, entry.inside, &problem)) {
        skip("skipped " + escaped(entry.path) + ": " + problem);
        return true;
    }
    const uint64_t size = in.openedSize();
    const sys::FileTime opened = in.openedTime();
    if (const std::string refused = refusedName(entry); !refused.empty()) {
        skip("skipped " + escaped(entry.path) + ", which appeared after the check: " + refused);
        return true;
    }
    std::optional<stream::FileTime> time;
    // The years that every receiver stores a time in (the check said which
    // files go without theirs).
    if (format::timeTravels(opened.seconds) && opened.nanoseconds < stream::nanosecondsPerSecond) {
        time = stream::FileTime{opened.seconds, opened.nanoseconds};
    }
    if (!encoder_.beginFile(entry.name, size, time)) {
        skip("skipped " + escaped(entry.path) + ": its path is too long");
        return true;
    }
    *sent = true;
    std::string withdrawn;
    while (handOn() && withdrawn.empty() && encoder_.contentLeft() > 0) {
        // In slices that stay in the processor's cache between the read and
        // the hash.
        const std::span<uint8_t> room = encoder_.room();
        const size_t want = room.size() < hashSlice ? room.size() : hashSlice;
        const int64_t got = in.read(room.data(), want, &problem);
        if (got < 0) {
            withdrawn = "cannot read it (" + problem + ")";
        } else if (got == 0) {
            withdrawn = "it shrank while it was sent";
        } else {
            hash_.update(room.data(), static_cast<size_t>(got));
            (void)encoder_.wrote(static_cast<size_t>(got));
            content_ += static_cast<uint64_t>(got);
        }
    }
    if (!handOn()) return false;
    // What was read is the file as it was opened only when neither its size
    // nor its time has changed since.
    uint64_t sizeNow = 0;
    sys::FileTime now;
    if (withdrawn.empty() && (!in.state(&sizeNow, &now) || sizeNow != size || now.seconds != opened.seconds ||
                              now.nanoseconds != opened.nanoseconds)) {
        withdrawn = "it changed while it was sent";
    }
    const std::string digits = hash_.finish();  // also starts the next file's afresh
    // A file in progress ends whenever the buffer has room.
    (void)encoder_.endFile(withdrawn.empty() ? stream::FileStatus::ok : stream::FileStatus::withdrawn,
                           digestOf(digits));
    // Counted with the block that its trailer ends in.
    if (!handOn()) return false;
    if (withdrawn.empty()) {
        ++current_.files;
    } else {
        skip("skipped " + escaped(entry.path) + ": " + withdrawn + "; the receiver is told to drop it");
    }
    return true;
}

}  // namespace dyad
