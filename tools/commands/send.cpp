// dyad send: the Initiator's side of moving files. What the command line
// names is checked before the pairing (transfer/collection.h); then the
// whole transfer goes as one stream (format/stream_format.h) in one series
// of blocks on one connection: a reader thread walks the files again, reads
// and hashes them into the blocks (transfer/reader.h), while the main thread
// hands each full block to the library, which returns once the receiver has
// every byte. A file that changed or could not be read is named with the
// reason, withdrawn from the receiver, and the others still go. With
// --code the transfer is private: every block is sealed (seal/seal.h) on a
// thread of its own between the reading and the sending, and the pairing
// identifier is the code's.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "dyadc.h"
#include "tools/base/names.h"
#include "tools/commands/commands.h"
#include "tools/format/stream_format.h"
#include "tools/library/library.h"
#include "tools/seal/seal.h"
#include "tools/transfer/collection.h"
#include "tools/transfer/reader.h"

namespace dyad {
namespace {

// What the sending did: files that went whole, files and folders not sent,
// what the walk found, and the exit status of a failed library call.
struct Sent {
    uint64_t files = 0;
    uint64_t notSent = 0;
    uint64_t found = 0;
    int status = exitOk;
};

// The series' block types: its first block, those in the middle, its last.
constexpr int32_t firstBlock = 21;
constexpr int32_t middleBlock = 22;
constexpr int32_t lastBlock = 20;

// One block of the series as the library gets it: in a private transfer
// already sealed, with the salt (first block) and tag around its payload.
struct Piece {
    uint8_t* data = nullptr;
    uint32_t length = 0;
    int32_t type = middleBlock;
};

// A block of the stream made ready to go: the pieces it goes as (a stream
// that fits one block goes as two, since a series begins with a type 21
// block and ends with a type 20 one), and whether it could be sealed.
struct Ready {
    StreamBlock block;
    std::vector<Piece> pieces;
    std::vector<std::vector<uint8_t>> own;  // the two halves' room, sealed apart
    bool sealed = true;
};

// Gives the reader's blocks their types and, in a private transfer, seals
// them in order. With a sealer this runs on a thread of its own, so that
// sealing one block overlaps reading the next and sending the one before.
class Preparer {
public:
    Preparer(Reader& reader, std::vector<std::vector<uint8_t>>& buffers, Sealer* sealer)
        : reader_(reader), buffers_(buffers), sealer_(sealer) {
        if (sealer_ != nullptr) thread_ = std::thread([this] { run(); });
    }
    ~Preparer() {
        reader_.stop();
        if (thread_.joinable()) thread_.join();
    }
    Preparer(const Preparer&) = delete;
    Preparer& operator=(const Preparer&) = delete;

    // The next block ready to go; empty after the last.
    std::optional<Ready> next() {
        if (sealer_ != nullptr) return ready_.pop();
        std::optional<StreamBlock> block = reader_.next();
        if (!block) return std::nullopt;
        return prepare(std::move(*block));
    }

private:
    void run() {
        while (std::optional<StreamBlock> block = reader_.next()) {
            Ready ready = prepare(std::move(*block));
            const bool sealed = ready.sealed;
            ready_.push(std::move(ready));
            if (!sealed) break;
        }
        ready_.close();
    }

    Ready prepare(StreamBlock block) {
        Ready ready;
        uint8_t* data = buffers_[block.buffer].data() + block.offset;
        const uint32_t length = block.length;
        if (first_ && block.last) {
            const uint32_t half = length / 2;  // a stream is longer than 2 bytes
            if (sealer_ == nullptr) {
                ready.pieces = {{data, half, firstBlock}, {data + half, length - half, lastBlock}};
            } else {
                // The halves apart, each with room for what seals it.
                ready.own.emplace_back(saltSize + half + tagSize);
                ready.own.emplace_back(length - half + tagSize);
                std::memcpy(ready.own[0].data() + saltSize, data, half);
                std::memcpy(ready.own[1].data(), data + half, length - half);
                ready.pieces = {{ready.own[0].data() + saltSize, half, firstBlock},
                                {ready.own[1].data(), length - half, lastBlock}};
            }
        } else {
            ready.pieces = {{data, length, first_ ? firstBlock : block.last ? lastBlock : middleBlock}};
        }
        first_ = false;
        ready.block = std::move(block);
        if (sealer_ != nullptr) {
            for (Piece& piece : ready.pieces) {
                piece.data -= sealer_->front();
                piece.length += static_cast<uint32_t>(sealer_->front() + tagSize);
                const std::string first(stream::streamName);
                const std::string second(stream::sealedVariant);
                if (!sealer_->seal({piece.type, first, second}, {piece.data, piece.length})) {
                    ready.sealed = false;
                    break;
                }
            }
        }
        return ready;
    }

    Reader& reader_;
    std::vector<std::vector<uint8_t>>& buffers_;
    Sealer* const sealer_;
    bool first_ = true;
    Queue<Ready> ready_;
    std::thread thread_;
};

// Sends the blocks that the reader queues until the stream's end or a failed
// library call.
Sent sendBlocks(const Options& options, Preparer& preparer, Reader& reader, Progress& progress, uint64_t fileCount,
                bool sealed) {
    Sent sent;
    const std::string first(stream::streamName);
    const std::string second(sealed ? stream::sealedVariant : stream::plainVariant);
    while (std::optional<Ready> ready = preparer.next()) {
        if (!ready->sealed) {
            std::fprintf(stderr, "%sdyad: a block could not be sealed; sending stopped\n", messageStart());
            sent.status = exitOther;
            return sent;
        }
        int32_t result = 0;
        for (const Piece& piece : ready->pieces) {
            result = DyadSendDataBlock(first.c_str(), second.c_str(), options.timeout, piece.data, piece.length,
                                       piece.type, onProgress);
            if (result != 0) break;
        }
        const StreamBlock& block = ready->block;
        reader.giveBack(block.buffer);
        if (result != 0) {
            std::fprintf(stderr, "%s", messageStart());
            sent.status = fail(result, "sending");
            return sent;
        }
        for (const std::string& message : block.notes) {
            std::fprintf(stderr, "%sdyad: %s\n", messageStart(), message.c_str());
        }
        for (const std::string& message : block.withdrawn) {
            std::fprintf(stderr, "%sdyad: %s\n", messageStart(), message.c_str());
        }
        sent.notSent += block.withdrawn.size();
        sent.found += block.found;
        progress.exclude(static_cast<double>(block.extra));
        sent.files += block.files;
        progress.countFiles(sent.files, fileCount);
    }
    return sent;
}

}  // namespace

int commandSend(const Options& given) {
    Options options = given;
    std::optional<Sealer> sealer;
    if (options.codeGiven) {
        std::string why;
        const std::optional<Code> code = readCode(options.code, why);
        if (!code) {
            std::fprintf(stderr, "dyad: %s; nothing was sent\n", why.c_str());
            return exitUsage;
        }
        options.id = pairingIdentifier(*code);
        sealer.emplace(*code);
        if (!sealer->ready()) {
            std::fprintf(stderr,
                         "dyad: this system offers no AES-256-GCM, which --code needs; nothing was sent\n");
            return exitOther;
        }
    }
    const Collection collection(options.files);
    if (!collection.problems.empty()) {
        for (const std::string& problem : collection.problems) std::fprintf(stderr, "dyad: %s\n", problem.c_str());
        std::fprintf(stderr,
                     "dyad: nothing was sent: rename or make readable what is named above, or leave it out\n");
        return exitFiles;
    }

    int32_t result = pair(options, 1);
    if (result != 0) return fail(result, "pairing");

    Progress progress(progressStyle(options), "sending");
    showProgress(&progress);
    // The library counts every block byte since the pairing was made, which
    // for the pairing this command made is where it starts.
    progress.begin(0, collection.bytes);
    progress.countFiles(0, collection.files);
    Sent sent;
    {
        std::vector<std::vector<uint8_t>> buffers(blockBuffers(options.blockSize),
                                                  std::vector<uint8_t>(options.blockSize));
        // A sealed block wraps its stream bytes: the salt before the first
        // block's and the tag behind each.
        Reader reader(options.files, buffers, options.checksum, collection.files, collection.bytes,
                      sealer ? saltSize : 0, sealer ? tagSize : 0);
        Preparer preparer(reader, buffers, sealer ? &*sealer : nullptr);
        sent = sendBlocks(options, preparer, reader, progress, collection.files, sealer.has_value());
    }
    const uint64_t moved = progress.finish();
    showProgress(nullptr);
    DyadClose();
    // A failed pairing, connection or time limit stopped the sending and
    // gives the status; a file that did not go gives 8.
    if (sent.status != exitOk) return sent.status;
    std::printf("sent %llu file%s, %s in %.2f s (%s/s", static_cast<unsigned long long>(sent.files),
                sent.files == 1 ? "" : "s", Progress::size(static_cast<double>(moved)).c_str(), progress.seconds(),
                Progress::size(progress.rate()).c_str());
    // The first block may wait for the Responder's listening window; the
    // rate after it shows what the link carries, when enough followed it.
    if (progress.steadyRate() > 0) {
        std::printf("; %s/s after the first block", Progress::size(progress.steadyRate()).c_str());
    }
    std::printf(")\n");
    std::fflush(stdout);
    // Files and folders that the check listed and the sending no longer
    // found (or the other way round): the tree changed in between.
    const uint64_t listed = collection.files + collection.folders;
    if (sent.found != listed) {
        std::fprintf(stderr,
                     "dyad: what was named changed after it was checked: %llu files and empty folders were "
                     "listed, %llu found when sending\n",
                     static_cast<unsigned long long>(listed), static_cast<unsigned long long>(sent.found));
    }
    if (sent.notSent == 0 && sent.found >= listed) return exitOk;
    if (sent.notSent > 0) {
        std::fprintf(stderr, "dyad: %llu file%s not sent (named above)\n",
                     static_cast<unsigned long long>(sent.notSent), sent.notSent == 1 ? " was" : "s were");
    }
    return exitFiles;
}

}  // namespace dyad
