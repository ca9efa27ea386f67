// dyad receive: the Responder's side of moving files. The main thread takes
// the blocks from the library into one of a few buffers and hands each to a
// writer thread, which puts the files together: it writes each file into a
// part file of its own beside the target, hashes the bytes as they come, and
// when the file's checksum block arrives compares size and checksum and only
// then gives the file its name and its modification time. Every file that
// fails is reported by name and its part file removed; nothing that did not
// arrive as it left is ever found under its final name. A file that cannot
// be stored is refused and the files after it still arrive; only a failure
// of the receiving directory itself or of the disk ends the receive. The
// folders of a path are made inside the receiving directory, each reached
// from the one above it and never through a link, and no name replaces a
// file that arrived earlier in the same transfer (on Windows, names that
// differ in case only name one file).
#include <atomic>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "dyadc.h"
#include "tools/checksum.h"
#include "tools/commands.h"
#include "tools/format.h"
#include "tools/library.h"
#include "tools/names.h"
#include "tools/pipeline.h"
#include "tools/system.h"

namespace dyad {
namespace {

// What the main thread received: a block or a piece of one, a block header
// that the library refused, or the end.
struct Piece {
    bool end = false;  // no more pieces; `peerClosed`: the pairing ended normally
    bool peerClosed = false;
    bool refusedHeader = false;  // no buffer
    size_t buffer = 0;
    uint32_t length = 0;
    int32_t type = 0;
    std::string first;
    std::string second;
};

// What a file's last block says about its checksum: none (an earlier
// sender's last bytes, or its single block), one that this dyad computes, or
// one of another name.
struct Claim {
    enum { none, known, unknown } kind = none;
    const ChecksumFormat* format = nullptr;  // known
    std::string name;                        // unknown: the name it came with
    std::string digits;                      // known: the block's data
};

// The sender's checksum as lowercase digits, or "" when it is no digest of
// that format.
std::string digestText(const std::string& digits, const ChecksumFormat& format) {
    if (digits.size() != format.digits) return "";
    std::string text;
    for (char c : digits) {
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return "";
        text += c;
    }
    return text;
}

// A file's size as its blocks give it: a count of bytes, unknown (an earlier
// sender's odd second name: the checksum still decides), or refused (a
// negative number, or one beyond 64 bits).
struct Size {
    enum { known, unknown, refused } kind = unknown;
    uint64_t bytes = 0;
};

Size sizeOf(const std::string& text) {
    Size size;
    if (!text.empty() && text[0] == '-') {
        size.kind = Size::refused;
        return size;
    }
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return size;
    for (char digit : text) {
        const auto value = static_cast<uint64_t>(digit - '0');
        if (size.bytes > (UINT64_MAX - value) / 10) {
            size.kind = Size::refused;
            return size;
        }
        size.bytes = size.bytes * 10 + value;
    }
    size.kind = Size::known;
    return size;
}

// The modification time that a time block names, when it names one.
std::optional<sys::FileTime> timeOf(const std::string& text) {
    if (text.compare(0, timeMark.size(), timeMark) != 0) return std::nullopt;
    const char* start = text.data() + timeMark.size();
    const char* end = text.data() + text.size();
    int64_t nanoseconds = 0;
    const auto [at, error] = std::from_chars(start, end, nanoseconds);
    if (error != std::errc() || at != end || start == end) return std::nullopt;
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

// Puts the received pieces together into files of the target directory, on
// a thread of its own.
class Writer {
public:
    Writer(std::vector<std::vector<uint8_t>>& buffers, const Options& options, const sys::Folder& root)
        : buffers_(buffers),
          options_(options),
          root_(root),
          random_(std::random_device{}()),
          expected_(options.checksum) {
        for (size_t i = 0; i < buffers_.size(); ++i) free_.push(i);
        thread_ = std::thread([this] { run(); });
    }
    ~Writer() {
        pieces_.close();
        if (thread_.joinable()) thread_.join();
        abandon();
    }

    // A buffer to receive into: waits while every buffer is still being
    // written.
    size_t freeBuffer() { return free_.pop().value_or(0); }
    void giveBack(size_t buffer) { free_.push(buffer); }
    void hand(Piece piece) { pieces_.push(std::move(piece)); }
    // Ends the writing: a file still open is completed when it was a single
    // block of an earlier sender and the peer closed normally, else removed.
    void finish(bool peerClosed) {
        Piece end;
        end.end = true;
        end.peerClosed = peerClosed;
        pieces_.push(std::move(end));
        pieces_.close();
        thread_.join();
    }

    // The directory cannot be written: receiving more is pointless.
    bool broken() const { return broken_.load(); }
    int status() const { return status_; }
    int files() const { return files_.load(); }

private:
    void run() {
        while (std::optional<Piece> piece = pieces_.pop()) {
            if (piece->end) {
                endOfStream(piece->peerClosed);
                break;
            }
            if (piece->refusedHeader) {
                message("the peer sent an incomplete block header; it was refused");
                note(exitFiles);
                continue;
            }
            if (!broken_) take(*piece, buffers_[piece->buffer].data());
            free_.push(piece->buffer);
        }
    }

    void take(const Piece& piece, const uint8_t* data) {
        ++piecesTaken_;
        // Later pieces of a block larger than the buffer come as type 22
        // with the block's names; a type 22 block of another file is no
        // part of the file in progress.
        const bool folderBlock = !piece.first.empty() && piece.first.back() == '/' && piece.second == folderMark;
        if (piece.type == DYAD_BLOCK_MORE && (!active_ || piece.first != name_)) {
            return drop(piece.first, piece.length, folderBlock);
        }
        if (piece.type != DYAD_BLOCK_MORE) reportDropped();
        switch (piece.type) {
            case DYAD_BLOCK_FIRST:
                if (folderBlock) {
                    endFile();
                    makeFolder(piece.first);
                    drop(piece.first, piece.length, true);  // an empty folder's block carries no bytes
                    break;
                }
                start(piece.first, piece.second, true);
                add(data, piece.length);
                break;
            case DYAD_BLOCK_MORE:
                if (piece.length == 0) {
                    modified_ = timeOf(piece.second);
                    break;
                }
                add(data, piece.length);
                break;
            case DYAD_BLOCK_LAST: {
                // Earlier senders named their last bytes as they named the
                // file's first block: with its size.
                Claim claim;
                if ((claim.format = checksumNamed(piece.second)) != nullptr) {
                    claim.kind = Claim::known;
                    claim.digits.assign(reinterpret_cast<const char*>(data), piece.length);
                } else if (active_ && piece.first == name_ && piece.second != sizeText_) {
                    claim.kind = Claim::unknown;
                    claim.name = piece.second;
                }
                if (claim.kind != Claim::none) {
                    check(piece.first, claim);
                } else if (!active_ || piece.first != name_) {  // an earlier sender's last bytes
                    drop(piece.first, piece.length, false);
                } else {
                    add(data, piece.length);
                    complete(claim);
                }
                break;
            }
            default:  // a single block: an earlier sender's whole file
                start(piece.first, piece.second, false);
                add(data, piece.length);
                break;
        }
    }

    static void message(const std::string& text) {
        std::fprintf(stderr, "%sdyad: %s\n", messageStart(), text.c_str());
    }

    // Keeps the status of the first failure; a file that did not arrive as it
    // left outranks other file problems.
    void note(int status) {
        if (status_ == exitOk || (status == exitChecksum && status_ == exitFiles)) status_ = status;
    }

    // Bytes that belong to no file in progress (`folder`: they came with the
    // block of an empty folder): counted, and reported once for each run of
    // such pieces.
    void drop(const std::string& name, uint32_t length, bool folder) {
        if (length == 0) return;
        if (dropped_ > 0 && (name != droppedName_ || folder != droppedFolder_)) reportDropped();
        droppedName_ = name;
        droppedFolder_ = folder;
        dropped_ += length;
    }
    void reportDropped() {
        if (dropped_ == 0) return;
        message("dropped " + std::to_string(dropped_) + " bytes that belong to no file (a block named '" +
                escaped(droppedName_) + "' " +
                (droppedFolder_ ? "that marks an empty folder" : "that came after its file or without its start") +
                ")");
        note(exitFiles);
        dropped_ = 0;
    }

    // Nothing more can be stored: the message names the file in progress and
    // the reason. Its remaining bytes are its own, not stray ones.
    void breakDown(const std::string& text) {
        message(text);
        note(exitFiles);
        abandon();
        active_ = true;
        skipping_ = true;
        broken_ = true;
    }

    // Drops the file in progress and its part file.
    void abandon() {
        if (file_.isOpen()) {
            file_.close();
            removePart();
            sys::removeOnInterrupt(nullptr);
        }
        active_ = false;
        skipping_ = false;
    }

    // Refuses the file in progress: the message says why, once, and its
    // bytes are dropped as they come.
    void refuse(int status, const std::string& why) {
        message(why);
        note(status);
        abandon();
        active_ = true;
        skipping_ = true;
    }

    // The file in progress cannot be stored (`doing` says what failed): a
    // failure of the receiving directory or of the disk ends the receive,
    // any other refuses this file only.
    void cannot(const std::string& doing, const sys::Failure& failure) {
        if (failure.kind == sys::Failure::folder) return breakDown(doing + " " + where() + ": " + failure.reason);
        refuse(exitFiles, "refused " + shownName() + ": " + failure.reason);
    }

    // The file in progress and where it goes, for messages.
    std::string shownName() const { return escaped(name_); }
    std::string where() const { return shownName() + " in " + options_.dir; }
    // How a message names a path that the system stores as `stored` (on
    // Windows, a folder reached under another case keeps its own).
    static std::string shownAs(const std::string& path, const std::string& stored) {
        return stored == path ? escaped(path) : escaped(path) + " as " + escaped(stored);
    }

    // Ends the file in progress at the start of the next file or folder.
    void endFile() {
        if (!active_) return;
        if (!series_ && !skipping_) {
            complete({});  // an earlier sender's single block ends at the next file
        } else if (!skipping_) {
            message(shownName() + " ended without its checksum block; removed");
            note(exitChecksum);
        }
        abandon();
    }

    // Opens the folder at `folderPath` inside the receiving directory ("":
    // the directory itself), making the folders that are missing; false with
    // `failure` set when a folder cannot be made or opened. The folder of the
    // previous file stays open for the next one in it.
    bool openFolder(const std::string& folderPath, sys::Failure* failure) {
        if (folderOpen_ && folderPath == folderPath_) return true;
        folderOpen_ = false;
        const sys::Folder* above = &root_;
        sys::Folder next;
        std::string stored;
        for (size_t start = 0; start < folderPath.size();) {
            size_t end = folderPath.find('/', start);
            if (end == std::string::npos) end = folderPath.size();
            sys::Folder child;
            if (!above->child(folderPath.substr(start, end - start), &child, failure)) return false;
            stored += (stored.empty() ? "" : "/") + child.name();
            next = std::move(child);
            above = &next;
            start = end + 1;
        }
        folder_ = folderPath.empty() ? sys::Folder() : std::move(next);
        folderPath_ = folderPath;
        storedFolderPath_ = stored;
        folderOpen_ = true;
        return true;
    }
    const sys::Folder& folder() const { return folderPath_.empty() ? root_ : folder_; }

    // An empty folder of the sender's: made with the folders above it.
    void makeFolder(const std::string& path) {
        const std::string folderPath = path.substr(0, path.size() - 1);
        const std::string problem = pathProblem(folderPath);
        if (!problem.empty()) {
            message("refused the folder name '" + escaped(path) + "' (" + problem + ")");
            return note(exitFiles);
        }
        sys::Failure failure;
        if (!openFolder(folderPath, &failure)) {
            message("cannot make the folder " + escaped(path) + " in " + options_.dir + ": " + failure.reason);
            return note(exitFiles);
        }
        if (!options_.quiet) {
            std::fprintf(stderr, "%sreceived the folder %s\n", messageStart(),
                         shownAs(path, storedFolderPath_ + "/").c_str());
        }
    }

    void start(const std::string& name, const std::string& sizeText, bool series) {
        endFile();
        active_ = true;
        series_ = series;
        name_ = name;
        written_ = 0;
        // Hashed as the bytes come with the checksum that the sender named
        // last: a sender names the same one for all its files.
        if (!hash_ || hash_->kind() != expected_) {
            hash_.emplace(expected_);
        } else {
            hash_->finish();
        }
        sizeText_ = sizeText;
        size_ = sizeOf(sizeText);
        modified_.reset();
        const std::string problem = pathProblem(name_);
        if (!problem.empty()) {
            return refuse(exitFiles, "refused the file name '" + shownName() + "' (" + problem + ")");
        }
        if (size_.kind == Size::refused) {
            return refuse(exitFiles, "refused " + shownName() + ": its size " + escaped(sizeText) +
                                         (sizeText[0] == '-' ? " is negative" : " is too large"));
        }
        const size_t slash = name_.rfind('/');
        leaf_ = slash == std::string::npos ? name_ : name_.substr(slash + 1);
        sys::Failure failure;
        if (!openFolder(slash == std::string::npos ? "" : name_.substr(0, slash), &failure)) {
            return cannot("cannot make the folders of", failure);
        }
        if (sys::pathTooLong(folder().path() / sys::toPath(leaf_))) {
            return refuse(exitFiles, "refused the file name '" + shownName() + "' (too long for " + options_.dir +
                                         ": a path on Windows holds at most 259 characters)");
        }
        // A name that reaches a file of this transfer is refused even with
        // --overwrite: the sender meant two files.
        sys::FileId id;
        std::string stored;
        const bool named = folder().identify(leaf_, &id, &stored);
        const auto earlier = named ? received_.find(id) : received_.end();
        if (earlier != received_.end()) {
            return refuse(exitFiles, "refused " + shownName() + ": it would replace " + escaped(earlier->second) +
                                         ", which arrived earlier in this transfer");
        }
        if (!options_.overwrite && (named || folder().has(leaf_))) {
            return refuse(exitFiles, "refused " + shownName() + ": a file of that name exists in " + options_.dir +
                                         " (--overwrite replaces it)");
        }
        for (int attempt = 0; attempt < 16 && !file_.isOpen(); ++attempt) {
            char suffix[24];
            std::snprintf(suffix, sizeof suffix, ".%08x.dyad-part", static_cast<unsigned>(random_()));
            partName_ = "." + leaf_ + suffix;
            if (file_.create(folder(), partName_, &failure)) {
                sys::removeOnInterrupt(&folder(), partName_);
            } else if (failure.kind != sys::Failure::exists) {
                break;  // not a name taken by chance
            }
        }
        if (file_.isOpen()) return;
        if (failure.kind == sys::Failure::name) {
            return refuse(exitFiles, "refused the file name '" + shownName() + "' (" + failure.reason + ")");
        }
        cannot("cannot write", failure);
    }

    void add(const uint8_t* bytes, uint32_t length) {
        if (skipping_ || length == 0) return;
        if (size_.kind == Size::known && written_ + length > size_.bytes) {
            return refuse(exitChecksum, shownName() + " brought more than its " + std::to_string(size_.bytes) +
                                            " bytes; removed");
        }
        // In slices that stay in the processor's cache between the hash and
        // the write.
        sys::Failure failure;
        for (uint32_t at = 0; at < length; at += hashSlice) {
            const uint32_t slice = length - at < hashSlice ? length - at : hashSlice;
            hash_->update(bytes + at, slice);
            if (!file_.write(bytes + at, slice, &failure)) return cannot("cannot write", failure);
        }
        written_ += length;
    }

    // The checksum block of the file in progress.
    void check(const std::string& name, const Claim& claim) {
        if (!active_ || name != name_) {
            message("a checksum for " + escaped(name) + " that belongs to no file it sent");
            note(exitChecksum);
            return;
        }
        complete(claim);
    }

    // The file in progress has all its bytes: checks its size and its
    // checksum (or, without one that this dyad computes, refuses it unless
    // --accept-unverified), waits until its bytes are on the disk, and gives
    // it its name. A checksum other than the one hashed as the bytes came is
    // computed from the part file once it is on the disk.
    void complete(const Claim& claim) {
        if (!active_ || skipping_) return abandon();
        if (claim.kind == Claim::known) expected_ = claim.format->kind;
        std::string problem;
        if (size_.kind == Size::known && written_ != size_.bytes) {
            problem = shownName() + " arrived with " + std::to_string(written_) + " of its " +
                      std::to_string(size_.bytes) + " bytes; removed";
        } else if (claim.kind != Claim::known && !options_.acceptUnverified) {
            problem = shownName() +
                      (claim.kind == Claim::none ? " came without a checksum (an earlier sender)"
                                                 : " came with a checksum that this dyad does not know ('" +
                                                       escaped(claim.name) + "')") +
                      " and cannot be verified; removed (--accept-unverified keeps such files)";
        }
        if (!problem.empty()) {
            message(problem);
            note(exitChecksum);
            return abandon();
        }
        std::string received;
        if (claim.kind == Claim::known && hash_->kind() == claim.format->kind) received = hash_->finish();
        sys::Failure failure;
        if (modified_ && !file_.setModified(*modified_, &failure)) {
            message("cannot give " + shownName() + " its modification time: " + failure.reason);
        }
        if (!file_.commit(&failure)) {
            removePart();
            active_ = false;
            return breakDown("cannot write " + where() + ": " + failure.reason);
        }
        if (claim.kind == Claim::known) {
            if (received.empty() && !hashPart(claim.format->kind, &received)) {
                removePart();
                active_ = false;
                return breakDown("cannot read " + where() + " back to check it");
            }
            const std::string sent = digestText(claim.digits, *claim.format);
            if (sent != received) {
                message(shownName() + " failed its " + claim.format->title + " check (sent " +
                        (sent.empty() ? "no valid digest" : sent) + ", received " + received + "); removed");
                note(exitChecksum);
                removePart();
                sys::removeOnInterrupt({});
                active_ = false;
                return;
            }
        }
        const sys::Placed placed = sys::place(folder(), partName_, leaf_, options_.overwrite, &failure);
        if (placed != sys::Placed::placed) removePart();
        sys::removeOnInterrupt(nullptr);
        active_ = false;
        if (placed == sys::Placed::failed && failure.kind == sys::Failure::folder) {
            return breakDown("cannot name " + where() + ": " + failure.reason);
        }
        if (placed != sys::Placed::placed) {
            message("refused " + shownName() + ": " +
                    (placed == sys::Placed::exists
                         ? "a file of that name appeared in " + options_.dir + " (--overwrite replaces it)"
                         : failure.reason));
            note(exitFiles);
            return;
        }
        ++files_;
        // What the name reaches now is this file: no later name replaces it.
        std::string stored = leaf_;
        sys::FileId id;
        const bool named = folder().identify(leaf_, &id, &stored);
        if (!storedFolderPath_.empty()) stored = storedFolderPath_ + "/" + stored;
        if (named) received_[id] = stored;
        if (!options_.quiet) {
            const std::string verdict = claim.kind == Claim::known ? std::string(claim.format->title) + " verified"
                                        : claim.kind == Claim::none
                                            ? "NOT verified: the sender sent no checksum"
                                            : "NOT verified: a checksum that this dyad does not know";
            std::fprintf(stderr, "%sreceived %s (%s, %s)\n", messageStart(), shownAs(name_, stored).c_str(),
                         Progress::size(static_cast<double>(written_)).c_str(), verdict.c_str());
        }
    }

    // The checksum `kind` of the part file, read back from the disk, into
    // `digits`; false when it could not be read whole.
    bool hashPart(Checksum kind, std::string* digits) {
        std::FILE* in = folder().openRead(partName_);
        if (in == nullptr) return false;
        std::setvbuf(in, nullptr, _IONBF, 0);
        FileHash hash(kind);
        std::vector<uint8_t> bytes(1u << 20);
        uint64_t read = 0;
        size_t got = 0;
        while ((got = std::fread(bytes.data(), 1, bytes.size(), in)) > 0) {
            hash.update(bytes.data(), got);
            read += got;
        }
        const bool whole = std::ferror(in) == 0 && read == written_;
        std::fclose(in);
        if (whole) *digits = hash.finish();
        return whole;
    }

    void removePart() { folder().remove(partName_); }

    void endOfStream(bool peerClosed) {
        reportDropped();
        if (active_) {
            if (peerClosed && !series_ && !skipping_) return complete({});
            if (!skipping_) {
                message((peerClosed ? "the peer closed the pairing" : "receiving stopped") +
                        std::string(" in the middle of ") + shownName() + "; removed");
                note(exitConnection);
            }
            abandon();
        }
        if (peerClosed && piecesTaken_ == 0 && status_ == exitOk) {
            // A sender whose first block failed on its own side (its library
            // refused the header, say) closes the pairing just the same.
            message("the peer closed the pairing without sending a file");
            note(exitFiles);
        }
    }

    std::vector<std::vector<uint8_t>>& buffers_;
    const Options& options_;
    const sys::Folder& root_;
    // The folder of the file in progress (or of the one before it), inside
    // root_; "" is root_ itself.
    std::string folderPath_;
    std::string storedFolderPath_;  // the names its folders have on the disk
    sys::Folder folder_;
    bool folderOpen_ = false;
    Queue<size_t> free_;
    Queue<Piece> pieces_;
    std::thread thread_;
    std::atomic<bool> broken_{false};
    int status_ = exitOk;
    std::atomic<int> files_{0};
    uint64_t piecesTaken_ = 0;
    std::mt19937 random_;
    // Bytes of blocks that belong to no file, not reported yet.
    uint64_t dropped_ = 0;
    std::string droppedName_;
    bool droppedFolder_ = false;
    // The files that arrived in this transfer, by what their names reach,
    // with the paths they are stored under.
    std::map<sys::FileId, std::string> received_;
    // The file in progress.
    bool active_ = false;
    bool series_ = false;
    bool skipping_ = false;
    std::string name_;  // its path
    std::string leaf_;  // the last name of its path: its name in its folder
    std::string partName_;
    sys::NewFile file_;
    Size size_;
    uint64_t written_ = 0;
    std::string sizeText_;  // the second name of its first block
    std::optional<sys::FileTime> modified_;
    std::optional<FileHash> hash_;
    // The checksum to hash the next file with.
    Checksum expected_;
};

}  // namespace

int commandReceive(const Options& options) {
    std::error_code error;
    sys::Folder root;
    sys::Failure failure;
    if (!std::filesystem::is_directory(sys::toPath(options.dir), error) ||
        !sys::Folder::openRoot(sys::toPath(options.dir), &root, &failure)) {
        std::fprintf(stderr, "dyad: %s is not a directory\n", options.dir.c_str());
        return exitFiles;
    }
    int32_t result = pair(options, 2);
    if (result != 0) return fail(result, "pairing");

    Progress progress(progressStyle(options), "receiving");
    showProgress(&progress);
    progress.begin(0, 0);
    int exitStatus = exitOk;
    int files = 0;
    {
        std::vector<std::vector<uint8_t>> buffers(blockBuffers(options.blockSize),
                                                  std::vector<uint8_t>(options.blockSize));
        Writer writer(buffers, options, root);
        char first[DYAD_NAME_BUFFER_SIZE] = {};
        char second[DYAD_NAME_BUFFER_SIZE] = {};
        bool peerClosed = false;
        while (!writer.broken()) {
            const size_t buffer = writer.freeBuffer();
            progress.countFiles(static_cast<uint64_t>(writer.files()), 0);
            int32_t length = -1;
            int32_t type = DYAD_BLOCK_MORE;  // keeps the connection after an odd line
            result = DyadRecvDataBlock(first, second, options.timeout, buffers[buffer].data(), options.blockSize,
                                       &length, &type, onProgress);
            if (result != DYAD_OK || length < 0) {
                writer.giveBack(buffer);
                if (result == DYAD_OK) continue;  // an empty or unknown line
                if (result == DYAD_PEER_CLOSED) {
                    peerClosed = true;
                    break;
                }
                if (result == DYAD_INVALID) {
                    Piece refused;
                    refused.refusedHeader = true;
                    writer.hand(std::move(refused));
                    continue;
                }
                std::fprintf(stderr, "%s", messageStart());
                exitStatus = fail(result, "receiving");
                break;
            }
            if (type == DYAD_BLOCK_LAST && checksumNamed(second) != nullptr) progress.exclude(length);
            writer.hand(Piece{false, false, false, buffer, static_cast<uint32_t>(length), type, first, second});
        }
        writer.finish(peerClosed);
        if (exitStatus == exitOk) exitStatus = writer.status();
        files = writer.files();
        progress.countFiles(static_cast<uint64_t>(files), 0);
    }
    const uint64_t moved = progress.finish();
    showProgress(nullptr);
    DyadClose();
    std::printf("received %d file%s, %s in %.2f s (%s/s)\n", files, files == 1 ? "" : "s",
                Progress::size(static_cast<double>(moved)).c_str(), progress.seconds(),
                Progress::size(progress.rate()).c_str());
    return exitStatus;
}

}  // namespace dyad
