// dyad receive: the Responder's side of moving files. The main thread takes
// the blocks from the library into one of a few buffers and hands each to a
// disk thread, where the Receiver (transfer/receiver.h) puts the files
// together while the library receives the next block. With --code the
// transfer is private: the receiver makes a one-time code (or takes the one
// given), shows it for the sending person, pairs under the code's
// identifier, and opens every block with it.
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "dyadc.h"
#include "tools/base/pipeline.h"
#include "tools/base/system.h"
#include "tools/commands/commands.h"
#include "tools/format/format.h"
#include "tools/library/library.h"
#include "tools/seal/seal.h"
#include "tools/transfer/receiver.h"

namespace dyad {
namespace {

// What the main thread received: a block or a piece of one, a block header
// that the library refused, or the end.
struct Piece {
    enum Kind { block, refusedHeader, end } kind = block;
    bool peerClosed = false;  // end: the pairing ended normally
    size_t buffer = 0;
    uint32_t length = 0;
    int32_t type = 0;
    std::string first;
    std::string second;
};

// The Receiver on a thread of its own, and the buffers that circulate
// between it and the main thread.
class DiskThread {
public:
    DiskThread(std::vector<std::vector<uint8_t>>& buffers, const Options& options, const sys::Folder& root,
               const std::optional<Code>& code)
        : buffers_(buffers), receiver_(options, root, code) {
        for (size_t i = 0; i < buffers_.size(); ++i) free_.push(i);
        thread_ = std::thread([this] { run(); });
    }
    ~DiskThread() {
        pieces_.close();
        if (thread_.joinable()) thread_.join();
    }

    // A buffer to receive into: waits while every buffer is still being
    // written.
    size_t freeBuffer() { return free_.pop().value_or(0); }
    void giveBack(size_t buffer) { free_.push(buffer); }
    void hand(Piece piece) { pieces_.push(std::move(piece)); }
    // Ends the writing (`peerClosed`: the pairing ended normally) and waits
    // for it.
    void finish(bool peerClosed) {
        Piece end;
        end.kind = Piece::end;
        end.peerClosed = peerClosed;
        pieces_.push(std::move(end));
        pieces_.close();
        thread_.join();
    }
    const Receiver& receiver() const { return receiver_; }

private:
    void run() {
        while (std::optional<Piece> piece = pieces_.pop()) {
            if (piece->kind == Piece::end) return receiver_.end(piece->peerClosed);
            if (piece->kind == Piece::refusedHeader) {
                receiver_.refusedHeader();
                continue;
            }
            receiver_.take(
                {piece->type, piece->first, piece->second, buffers_[piece->buffer].data(), piece->length});
            free_.push(piece->buffer);
            // No block waits: the files checked so far get their names now
            // rather than when later blocks come.
            if (pieces_.empty()) receiver_.idle();
        }
    }

    std::vector<std::vector<uint8_t>>& buffers_;
    Receiver receiver_;
    Queue<size_t> free_;
    Queue<Piece> pieces_;
    std::thread thread_;
};

// Receives blocks until the peer closes the pairing, receiving fails or the
// receiving folder breaks; the exit status of a failed library call, else
// exitOk. `peerClosed` says whether the peer closed.
int receiveBlocks(const Options& options, std::vector<std::vector<uint8_t>>& buffers, DiskThread& disk,
                  Progress& progress, bool* peerClosed) {
    char first[DYAD_NAME_BUFFER_SIZE] = {};
    char second[DYAD_NAME_BUFFER_SIZE] = {};
    while (!disk.receiver().broken()) {
        const size_t buffer = disk.freeBuffer();
        progress.countFiles(static_cast<uint64_t>(disk.receiver().files()), 0);
        int32_t length = -1;
        int32_t type = DYAD_BLOCK_MORE;  // keeps the connection after an odd line
        const int32_t result = DyadRecvDataBlock(first, second, options.timeout, buffers[buffer].data(),
                                                 options.blockSize, &length, &type, onProgress);
        if (result == DYAD_OK && length >= 0) {
            if (type == DYAD_BLOCK_LAST && checksumNamed(second) != nullptr) progress.exclude(length);
            disk.hand(Piece{Piece::block, false, buffer, static_cast<uint32_t>(length), type, first, second});
            continue;
        }
        disk.giveBack(buffer);
        if (result == DYAD_OK) continue;  // an empty or unknown line
        if (result == DYAD_PEER_CLOSED) {
            *peerClosed = true;
            return exitOk;
        }
        if (result == DYAD_INVALID) {
            Piece refused;
            refused.kind = Piece::refusedHeader;
            disk.hand(std::move(refused));
            continue;
        }
        std::fprintf(stderr, "%s", messageStart());
        return fail(result, "receiving");
    }
    return exitOk;
}

}  // namespace

int commandReceive(const Options& given) {
    Options options = given;
    std::optional<Code> code;
    if (options.codeGiven) {
        std::string why;
        code = options.code.empty() ? makeCode() : readCode(options.code, why);
        if (!code) {
            std::fprintf(stderr, "dyad: %s\n", why.c_str());
            return exitUsage;
        }
        if (!Sealer(*code).ready()) {
            std::fprintf(stderr, "dyad: this system offers no AES-256-GCM, which --code needs\n");
            return exitOther;
        }
        options.id = pairingIdentifier(*code);
    }
    std::error_code error;
    sys::Folder root;
    sys::Failure failure;
    if (!std::filesystem::is_directory(sys::toPath(options.dir), error) ||
        !sys::Folder::openRoot(sys::toPath(options.dir), &root, &failure)) {
        std::fprintf(stderr, "dyad: %s is not a directory\n", options.dir.c_str());
        return exitFiles;
    }
    if (code) {
        // For the sending person, who types it: dyad send --code CODE.
        std::printf("the code for this transfer: %s\n", showCode(*code).c_str());
        std::fflush(stdout);
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
        DiskThread disk(buffers, options, root, code);
        bool peerClosed = false;
        exitStatus = receiveBlocks(options, buffers, disk, progress, &peerClosed);
        disk.finish(peerClosed);
        // A private transfer that stopped before its last block was cut
        // short, whatever ended it.
        if (exitStatus == exitOk || disk.receiver().status() == exitNotAuthentic) {
            exitStatus = disk.receiver().status();
        }
        files = disk.receiver().files();
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
