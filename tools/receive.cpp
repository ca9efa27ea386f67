// dyad receive: the Responder's side of moving files. The main thread takes
// the blocks from the library into one of a few buffers and hands each to a
// writer thread, which puts the files together: it writes each file into a
// part file of its own beside the target, hashes the bytes as they come, and
// when the file's checksum block arrives compares size and SHA-256 and only
// then gives the file its name. Every file that fails is reported by name and
// its part file removed; nothing that did not arrive as it left is ever found
// under its final name.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "dyadc.h"
#include "tools/dyad.h"
#include "tools/pipeline.h"
#include "tools/sha256.h"
#include "tools/system.h"

namespace dyad {
namespace {

// What the main thread received: a block or a piece of one, or the end.
struct Piece {
    bool end = false;  // no more pieces; `peerClosed`: the pairing ended normally
    bool peerClosed = false;
    size_t buffer = 0;
    uint32_t length = 0;
    int32_t type = 0;
    std::string first;
    std::string second;
};

// The sender's checksum as 64 lowercase digits, or "" when it is no digest.
std::string digestText(const std::string& digits) {
    if (digits.size() != checksumLength) return "";
    std::string text;
    for (char c : digits) {
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return "";
        text += c;
    }
    return text;
}

// Puts the received pieces together into files of the target directory, on
// a thread of its own.
class Writer {
public:
    explicit Writer(std::vector<std::vector<uint8_t>>& buffers)
        : buffers_(buffers), random_(std::random_device{}()) {
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
    int files() const { return files_; }

private:
    void run() {
        while (std::optional<Piece> piece = pieces_.pop()) {
            if (piece->end) {
                endOfStream(piece->peerClosed);
                break;
            }
            if (!broken_) take(*piece, buffers_[piece->buffer].data());
            free_.push(piece->buffer);
        }
    }

    void take(const Piece& piece, const uint8_t* data) {
        switch (piece.type) {
            case DYAD_BLOCK_FIRST:
                start(piece.first, piece.second, true);
                add(data, piece.length);
                break;
            case DYAD_BLOCK_MORE:  // also the later pieces of a block larger than the buffer
                add(data, piece.length);
                break;
            case DYAD_BLOCK_LAST:
                if (piece.second == checksumName) {
                    check(piece.first, std::string(reinterpret_cast<const char*>(data), piece.length));
                } else {  // an earlier sender's last bytes
                    add(data, piece.length);
                    complete(nullptr);
                }
                break;
            default:  // a single block: an earlier sender's whole file
                start(piece.first, piece.second, false);
                add(data, piece.length);
                break;
        }
    }

    // Keeps the status of the first failure; a file that did not arrive as it
    // left outranks other file problems.
    void note(int status) {
        if (status_ == exitOk || (status == exitChecksum && status_ == exitFiles)) status_ = status;
    }

    void breakDown(const std::string& message) {
        std::fprintf(stderr, "%sdyad: %s\n", messageStart(), message.c_str());
        note(exitFiles);
        abandon();
        broken_ = true;
    }

    // Drops the file in progress and its part file.
    void abandon() {
        if (file_ != nullptr) {
            std::fclose(file_);
            std::remove(partPath_.c_str());
            sys::removeOnInterrupt("");
        }
        file_ = nullptr;
        active_ = false;
        skipping_ = false;
    }

    // Refuses the file in progress: its bytes are dropped as they come.
    void refuse(int status, const std::string& why) {
        std::fprintf(stderr, "%sdyad: %s\n", messageStart(), why.c_str());
        note(status);
        abandon();
        active_ = true;
        skipping_ = true;
    }

    std::string target() const { return (std::filesystem::path(options.dir) / name_).string(); }

    void start(const std::string& name, const std::string& sizeText, bool series) {
        if (active_) {
            if (!series_ && !skipping_) {
                complete(nullptr);  // an earlier sender's single block ends at the next file
            } else if (!skipping_) {
                std::fprintf(stderr, "%sdyad: %s ended without its checksum block; removed\n", messageStart(),
                             name_.c_str());
                note(exitChecksum);
            }
            abandon();
        }
        active_ = true;
        series_ = series;
        name_ = name;
        written_ = 0;
        hash_.finish();
        char* end = nullptr;
        expected_ = std::strtoull(sizeText.c_str(), &end, 10);
        sizeKnown_ = end != sizeText.c_str() && *end == '\0';
        if (!plainFileName(name_)) {
            return refuse(exitFiles, "refused the file name '" + name_ + "' (not a plain file name)");
        }
        std::error_code error;
        if (!options.overwrite &&
            std::filesystem::symlink_status(target(), error).type() != std::filesystem::file_type::not_found) {
            return refuse(exitFiles, "refused " + name_ + ": a file of that name exists in " + options.dir +
                                         " (--overwrite replaces it)");
        }
        for (int attempt = 0; attempt < 16 && file_ == nullptr; ++attempt) {
            char suffix[24];
            std::snprintf(suffix, sizeof suffix, ".%08x.dyad-part", static_cast<unsigned>(random_()));
            partPath_ = (std::filesystem::path(options.dir) / ("." + name_ + suffix)).string();
            file_ = sys::createNew(partPath_);
            if (file_ != nullptr) sys::removeOnInterrupt(partPath_);
            if (file_ == nullptr && std::filesystem::symlink_status(partPath_, error).type() ==
                                        std::filesystem::file_type::not_found) {
                break;  // not a name taken by chance: the directory refuses
            }
        }
        if (file_ == nullptr) breakDown("cannot write " + name_ + " in " + options.dir);
    }

    void add(const uint8_t* bytes, uint32_t length) {
        if (!active_) {
            if (length > 0) {
                std::fprintf(stderr, "%sdyad: dropped %u bytes that belong to no file\n", messageStart(), length);
            }
            return;
        }
        if (skipping_ || length == 0) return;
        if (sizeKnown_ && written_ + length > expected_) {
            return refuse(exitChecksum,
                          name_ + " brought more than its " + std::to_string(expected_) + " bytes; removed");
        }
        hash_.update(bytes, length);
        if (std::fwrite(bytes, 1, length, file_) != length) return breakDown("cannot write " + partPath_);
        written_ += length;
    }

    // The checksum block of the file in progress.
    void check(const std::string& name, const std::string& digits) {
        if (!active_ || name != name_) {
            std::fprintf(stderr, "%sdyad: a checksum for %s that belongs to no file it sent\n", messageStart(),
                         name.c_str());
            note(exitChecksum);
            return;
        }
        complete(&digits);
    }

    // The file in progress has all its bytes: checks it (against `digits`,
    // or without a checksum from an earlier sender) and gives it its name.
    void complete(const std::string* digits) {
        if (!active_ || skipping_) return abandon();
        const bool closed = std::fclose(file_) == 0;
        file_ = nullptr;
        if (!closed) {
            std::remove(partPath_.c_str());
            sys::removeOnInterrupt("");
            return breakDown("cannot write " + partPath_);
        }
        const std::string received = Sha256::hex(hash_.finish());
        std::string problem;
        if (sizeKnown_ && written_ != expected_) {
            problem = name_ + " arrived with " + std::to_string(written_) + " of its " +
                      std::to_string(expected_) + " bytes; removed";
        } else if (digits != nullptr && digestText(*digits) != received) {
            const std::string sent = digestText(*digits);
            problem = name_ + " failed its SHA-256 check (sent " + (sent.empty() ? "no valid digest" : sent) +
                      ", received " + received + "); removed";
        } else if (digits == nullptr && !options.acceptUnverified) {
            problem = name_ +
                      " came without a SHA-256 (an earlier sender) and cannot be verified; removed "
                      "(--accept-unverified keeps such files)";
        }
        if (!problem.empty()) {
            std::fprintf(stderr, "%sdyad: %s\n", messageStart(), problem.c_str());
            std::remove(partPath_.c_str());
            sys::removeOnInterrupt("");
            note(exitChecksum);
            active_ = false;
            return;
        }
        const sys::Placed placed = sys::place(partPath_, target(), options.overwrite);
        if (placed != sys::Placed::placed) std::remove(partPath_.c_str());
        sys::removeOnInterrupt("");
        if (placed != sys::Placed::placed) {
            active_ = false;
            if (placed == sys::Placed::failed) return breakDown("cannot name " + target());
            std::fprintf(stderr,
                         "%sdyad: refused %s: a file of that name appeared in %s (--overwrite replaces it)\n",
                         messageStart(), name_.c_str(), options.dir.c_str());
            note(exitFiles);
            return;
        }
        active_ = false;
        ++files_;
        if (!options.quiet) {
            std::fprintf(stderr, "%sreceived %s (%s, %s)\n", messageStart(), name_.c_str(),
                         Progress::size(static_cast<double>(written_)).c_str(),
                         digits != nullptr ? "SHA-256 verified" : "NOT verified: the sender sent no SHA-256");
        }
    }

    void endOfStream(bool peerClosed) {
        if (!active_) return;
        if (peerClosed && !series_) return complete(nullptr);
        if (peerClosed && !skipping_) {
            std::fprintf(stderr, "%sdyad: the peer closed the pairing in the middle of %s; removed\n",
                         messageStart(), name_.c_str());
            note(exitConnection);
        }
        abandon();
    }

    std::vector<std::vector<uint8_t>>& buffers_;
    Queue<size_t> free_;
    Queue<Piece> pieces_;
    std::thread thread_;
    std::atomic<bool> broken_{false};
    int status_ = exitOk;
    int files_ = 0;
    std::mt19937 random_;
    // The file in progress.
    bool active_ = false;
    bool series_ = false;
    bool skipping_ = false;
    std::string name_;
    std::string partPath_;
    std::FILE* file_ = nullptr;
    uint64_t expected_ = 0;
    bool sizeKnown_ = false;
    uint64_t written_ = 0;
    Sha256 hash_;
};

}  // namespace

int commandReceive() {
    std::error_code error;
    if (!std::filesystem::is_directory(options.dir, error)) {
        std::fprintf(stderr, "dyad: %s is not a directory\n", options.dir.c_str());
        return exitFiles;
    }
    int32_t result = pair(2);
    if (result != 0) return fail(result, "pairing");

    Progress progress(progressStyle(), "receiving");
    activeProgress = &progress;
    progress.begin(0, 0);
    int exitStatus = exitOk;
    int files = 0;
    {
        std::vector<std::vector<uint8_t>> buffers(blockBuffers(options.blockSize),
                                                  std::vector<uint8_t>(options.blockSize));
        Writer writer(buffers);
        char first[DYAD_NAME_BUFFER_SIZE] = {};
        char second[DYAD_NAME_BUFFER_SIZE] = {};
        bool peerClosed = false;
        while (!writer.broken()) {
            const size_t buffer = writer.freeBuffer();
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
                    std::fprintf(stderr, "%sdyad: the peer sent an incomplete block header\n", messageStart());
                    continue;
                }
                std::fprintf(stderr, "%s", messageStart());
                exitStatus = fail(result, "receiving");
                break;
            }
            if (type == DYAD_BLOCK_LAST && std::strcmp(second, checksumName) == 0) progress.exclude(length);
            writer.hand(Piece{false, false, buffer, static_cast<uint32_t>(length), type, first, second});
        }
        writer.finish(peerClosed);
        if (exitStatus == exitOk) exitStatus = writer.status();
        files = writer.files();
    }
    const uint64_t moved = progress.finish();
    activeProgress = nullptr;
    DyadClose();
    std::printf("received %d file%s, %s in %.2f s (%s/s)\n", files, files == 1 ? "" : "s",
                Progress::size(static_cast<double>(moved)).c_str(), progress.seconds(),
                Progress::size(progress.rate()).c_str());
    return exitStatus;
}

}  // namespace dyad
