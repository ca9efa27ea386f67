#include "tools/transfer/receiver.h"

#include <cstdio>

#include "tools/base/names.h"
#include "tools/base/pipeline.h"
#include "tools/format/stream_blocks.h"
#include "tools/library/library.h"

namespace dyad {
namespace {

sys::FileTime fileTime(int64_t nanoseconds) {
    constexpr int64_t perSecond = 1000000000;
    sys::FileTime time;
    time.seconds = nanoseconds / perSecond;
    int64_t rest = nanoseconds % perSecond;
    if (rest < 0) {  // the nanoseconds of a FileTime count forward
        rest += perSecond;
        --time.seconds;
    }
    time.nanoseconds = static_cast<uint32_t>(rest);
    return time;
}

}  // namespace

void Receiver::message(const std::string& text) {
    std::fprintf(stderr, "%sdyad: %s\n", messageStart(), text.c_str());
}

Receiver::Receiver(const Options& options, const sys::Folder& root, const std::optional<Code>& code)
    : options_(options),
      store_(root, options.overwrite),
      random_(std::random_device{}()),
      expected_(options.checksum) {
    if (code) opener_ = std::make_unique<Opener>(*code);
}

void Receiver::take(const format::Block& arrived) {
    if (broken()) return;
    format::Block block = arrived;
    ++blocksTaken_;
    if (opener_ && !open(&block)) return;
    if (!decoder_) decoder_ = format::pickDecoder(block);
    for (const format::Event& event : decoder_->take(block)) handle(event);
}

// Opens a private transfer's block in place: true with `block` now its
// payload as a block of the plain stream, false when the receive ended.
bool Receiver::open(format::Block* block) {
    if (block->first != stream::streamName || block->second != stream::sealedVariant) {
        notAuthentic(std::string(opener_->position() == 0 ? "the peer sent no private transfer"
                                                          : "a block that is not sealed came") +
                     " (a block named '" + escaped(std::string(block->first)) + "' '" +
                     escaped(std::string(block->second)) + "'), which proves nothing");
        return false;
    }
    const uint64_t position = opener_->position();
    // The buffer is the receiver's own, handed over for this block alone.
    const Opener::Opened opened = opener_->open(
        {block->type, block->first, block->second},
        {const_cast<uint8_t*>(block->data), static_cast<size_t>(block->length)});
    if (opened.verdict != Verdict::opened) {
        // A block that filled the whole buffer may be a piece of a larger one.
        notAuthentic("block " + std::to_string(position + 1) + " " + describe(opened.verdict) +
                     (block->length == options_.blockSize
                          ? " (or the sender's blocks are larger than this receiver's --block-size)"
                          : ""));
        return false;
    }
    block->second = stream::plainVariant;
    block->data = opened.payload.data();
    block->length = static_cast<uint32_t>(opened.payload.size());
    return true;
}

// A private transfer did not authenticate: nothing of it from here on is
// stored, the file in progress is removed, the files complete before it
// keep their names, and the receive ends with a status of its own.
void Receiver::notAuthentic(const std::string& why) {
    std::string text = why;
    if (state_ == State::writing) text += "; " + shownName() + " is removed";
    part_->discard();
    commitBatch();
    message(text + "; receiving stopped: the transfer did not authenticate");
    status_ = exitNotAuthentic;
    state_ = State::broken;
}

void Receiver::refusedHeader() {
    message("the peer sent an incomplete block header; it was refused");
    note(exitFiles);
}

void Receiver::end(bool peerClosed) {
    if (opener_ && !broken() && blocksTaken_ > 0 && !opener_->ended()) {
        notAuthentic(std::string(peerClosed ? "the peer closed the pairing" : "receiving stopped") +
                     " before the transfer's last block: it was cut short");
    }
    if (decoder_) {
        for (const format::Event& event : decoder_->end(peerClosed)) handle(event);
    }
    part_->discard();
    commitBatch();
    if (peerClosed && blocksTaken_ == 0 && status_ == exitOk) {
        // A sender whose first block failed on its own side (its library
        // refused the header, say) closes the pairing just the same.
        message("the peer closed the pairing without sending a file");
        note(exitFiles);
    }
}

void Receiver::handle(const format::Event& event) {
    using format::Event;
    if (broken() && event.kind != Event::stray) return;
    switch (event.kind) {
        case Event::file:
            return start(event);
        case Event::bytes:
            return add(event.data, event.length);
        case Event::time:
            modified_.reset();
            if (event.nanoseconds) modified_ = fileTime(*event.nanoseconds);
            return;
        case Event::complete:
            return complete(event.claim);
        case Event::unfinished:
            return endFile(event);
        case Event::folder:
            return makeFolder(event.name);
        case Event::stray:
            message(
                "dropped " + std::to_string(event.dropped) + " bytes that belong to no file (a block named '" +
                escaped(event.name) + "' " +
                (event.ofFolder ? "that marks an empty folder" : "that came after its file or without its start") +
                ")");
            return note(exitFiles);
        case Event::strayChecksum:
            message("a checksum for " + escaped(event.name) + " that belongs to no file it sent");
            return note(exitChecksum);
        case Event::failed:
            return stop(event);
    }
}

// The blocks cannot be read on: the file in progress is removed, those
// complete before it keep their names, and the receive ends. A damaged
// stream is a transfer that did not arrive as it left; one cut short, a
// peer that went away; one of a kind this dyad does not know, files it does
// not store.
void Receiver::stop(const format::Event& event) {
    part_->discard();
    commitBatch();
    std::string text = event.name;
    if (!event.peerText.empty()) text += " ('" + escaped(event.peerText) + "')";
    if (event.fault == format::Event::unknownKind) {
        text += "; nothing of it is stored";
    } else if (state_ == State::writing) {
        text += "; " + shownName() + " is removed";
    }
    message(text + "; receiving stopped");
    note(event.fault == format::Event::damaged    ? exitChecksum
         : event.fault == format::Event::cutShort ? exitConnection
                                                  : exitFiles);
    state_ = State::broken;
}

// Keeps the status of the first failure; a file that did not arrive as it
// left outranks other file problems.
void Receiver::note(int status) {
    if (status_ == exitOk || (status == exitChecksum && status_ == exitFiles)) status_ = status;
}

// Refuses the file in progress: the message says why, once, and its bytes
// are dropped as they come.
void Receiver::refuse(int status, const std::string& why) {
    message(why);
    note(status);
    part_->discard();
    state_ = State::skipping;
}

// Nothing more can be stored: the message names the file in progress and
// the reason.
void Receiver::breakDown(const std::string& text) {
    part_->discard();
    if (!committing_) commitBatch();
    message(text);
    note(exitFiles);
    part_->discard();
    state_ = State::broken;
}

// The file in progress cannot be stored (`doing` says what failed): a
// failure of the receiving folder or of the disk ends the receive, any other
// refuses this file only.
void Receiver::cannot(const std::string& doing, const sys::Failure& failure) {
    if (failure.kind == sys::Failure::folder) return breakDown(doing + " " + where() + ": " + failure.reason);
    refuse(exitFiles, "refused " + shownName() + ": " + failure.reason);
}

std::string Receiver::shownName() const {
    return escaped(name_);
}
std::string Receiver::where() const {
    return shownName() + " in " + options_.dir;
}

// The file in progress ended before its checksum block.
void Receiver::endFile(const format::Event& event) {
    if (state_ == State::writing) {
        message(event.ending == format::Event::nextStarted
                    ? shownName() + " ended without its checksum block; removed"
                    : (event.ending == format::Event::peerClosed ? "the peer closed the pairing"
                                                                 : "receiving stopped") +
                          std::string(" in the middle of ") + shownName() + "; removed");
        note(event.ending == format::Event::nextStarted ? exitChecksum : exitConnection);
    }
    part_->discard();
    state_ = State::idle;
}

// An empty folder of the sender's: made with the folders above it.
void Receiver::makeFolder(const std::string& path) {
    const std::string folderPath = path.substr(0, path.size() - 1);
    const std::string problem = pathProblem(folderPath);
    if (!problem.empty()) {
        message("refused the folder name '" + escaped(path) + "' (" + problem + ")");
        return note(exitFiles);
    }
    sys::Failure failure;
    if (!store_.openFolder(folderPath, &failure)) {
        message("cannot make the folder " + escaped(path) + " in " + options_.dir + ": " + failure.reason);
        return note(exitFiles);
    }
    if (!options_.quiet) {
        std::fprintf(stderr, "%sreceived the folder %s\n", messageStart(),
                     Store::shownAs(path, store_.storedFolderPath() + "/").c_str());
    }
}

void Receiver::start(const format::Event& event) {
    state_ = State::idle;
    name_ = event.name;
    written_ = 0;
    // Hashed as the bytes come with the checksum that the sender named last.
    if (!hash_ || hash_->kind() != expected_) {
        hash_.emplace(expected_);
    } else {
        hash_->finish();
    }
    size_ = event.size;
    modified_.reset();
    const std::string problem = pathProblem(name_);
    if (!problem.empty()) {
        return refuse(exitFiles, "refused the file name '" + shownName() + "' (" + problem + ")");
    }
    if (size_.kind == format::Size::refused) {
        return refuse(exitFiles, "refused " + shownName() + ": its size " + escaped(event.sizeText) +
                                     (event.sizeText[0] == '-' ? " is negative" : " is too large"));
    }
    const size_t slash = name_.rfind('/');
    leaf_ = slash == std::string::npos ? name_ : name_.substr(slash + 1);
    sys::Failure failure;
    if (!store_.openFolder(slash == std::string::npos ? "" : name_.substr(0, slash), &failure)) {
        return cannot("cannot make the folders of", failure);
    }
    if (sys::pathTooLong(store_.folder().path() / sys::toPath(leaf_))) {
        return refuse(exitFiles, "refused the file name '" + shownName() + "' (too long for " + options_.dir +
                                     ": a path on Windows holds at most 259 characters)");
    }
    if (!open(&failure)) {
        if (failure.kind == sys::Failure::name) {
            return refuse(exitFiles, "refused the file name '" + shownName() + "' (" + failure.reason + ")");
        }
        if (state_ != State::skipping) cannot("cannot write", failure);
        return;
    }
    state_ = State::writing;
}

// Makes the part file of the file in progress unless its name would replace
// a file; false when it did not (refused here already when the state says
// skipping, else `failure` says why).
bool Receiver::open(sys::Failure* failure) {
    // A name that reaches a file of this transfer is refused even with
    // --overwrite: the sender meant two files.
    std::string lowered = store_.storedFolderPath() + "/" + leaf_;
    for (char& c : lowered) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (batchNames_.count(lowered) != 0) commitBatch();
    if (broken()) return false;
    // One look at the disk per file: with --overwrite for a file of this
    // transfer that the name reaches, without it for anything of that name.
    if (const std::string* earlier = store_.earlierArrived(store_.folder(), leaf_)) {
        refuse(exitFiles, "refused " + shownName() + ": it would replace " + escaped(*earlier) +
                              ", which arrived earlier in this transfer");
        return false;
    }
    if (!options_.overwrite && store_.folder().has(leaf_)) {
        refuse(exitFiles, "refused " + shownName() + ": a file of that name exists in " + options_.dir +
                              " (--overwrite replaces it)");
        return false;
    }
    return part_->create(store_.folder(), leaf_, random_, failure);
}

void Receiver::add(const uint8_t* bytes, uint32_t length) {
    if (state_ != State::writing || length == 0) return;
    if (size_.kind == format::Size::known && written_ + length > size_.bytes) {
        return refuse(exitChecksum,
                      shownName() + " brought more than its " + std::to_string(size_.bytes) + " bytes; removed");
    }
    // In slices that stay in the processor's cache between the hash and the
    // write.
    sys::Failure failure;
    for (uint32_t at = 0; at < length; at += hashSlice) {
        const uint32_t slice = length - at < hashSlice ? length - at : hashSlice;
        hash_->update(bytes + at, slice);
        if (!part_->write(bytes + at, slice, &failure)) return cannot("cannot write", failure);
    }
    written_ += length;
}

// The file in progress has all its bytes: checks its size and its checksum
// (or, without one that this dyad computes, refuses it unless
// --accept-unverified), waits until its bytes are on the disk, and gives it
// its name.
void Receiver::complete(const format::Claim& claim) {
    if (state_ != State::writing) {
        part_->discard();
        state_ = State::idle;
        return;
    }
    if (claim.kind == format::Claim::known) expected_ = claim.format->kind;
    std::string problem;
    if (claim.kind == format::Claim::withdrawn) {
        message("refused " + shownName() +
                ": the sender withdrew it (it changed or could not be read while it was sent)");
        note(exitFiles);
        part_->discard();
        state_ = State::idle;
        return;
    }
    if (size_.kind == format::Size::known && written_ != size_.bytes) {
        problem = shownName() + " arrived with " + std::to_string(written_) + " of its " +
                  std::to_string(size_.bytes) + " bytes; removed";
    } else if (claim.kind != format::Claim::known && !options_.acceptUnverified) {
        problem = shownName() +
                  (claim.kind == format::Claim::none
                       ? " came without a checksum (an earlier sender)"
                       : " came with a checksum that this dyad does not know ('" + escaped(claim.name) + "')") +
                  " and cannot be verified; removed (--accept-unverified keeps such files)";
    }
    if (!problem.empty()) {
        message(problem);
        note(exitChecksum);
        part_->discard();
        state_ = State::idle;
        return;
    }
    if (verify(claim)) name(claim);
}

// Puts the part file on the disk with its time and compares its checksum,
// which, when it is not the one hashed as the bytes came, is computed from
// the part file once it is on the disk. False when the file goes no further.
bool Receiver::verify(const format::Claim& claim) {
    const bool known = claim.kind == format::Claim::known;
    std::string received;
    if (known && hash_->kind() == claim.format->kind) received = hash_->finish();
    sys::Failure failure;
    if (modified_ && !part_->setModified(*modified_, &failure)) {
        message("cannot give " + shownName() + " its modification time: " + failure.reason);
    }
    if (!part_->finish(&failure)) {
        breakDown("cannot write " + where() + ": " + failure.reason);
        return false;
    }
    if (!known) return true;
    if (received.empty() && !part_->hash(claim.format->kind, written_, &received)) {
        breakDown("cannot read " + where() + " back to check it");
        return false;
    }
    const std::string sent = format::digestText(claim.digits, *claim.format);
    if (sent == received) return true;
    message(shownName() + " failed its " + claim.format->title + " check (sent " +
            (sent.empty() ? "no valid digest" : sent) + ", received " + received + "); removed");
    note(exitChecksum);
    part_->discard();
    state_ = State::idle;
    return false;
}
}  // namespace dyad
