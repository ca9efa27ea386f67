// dyad send: the Initiator's side of moving files. What the command line
// names is checked before the pairing (transfer/collection.h); then the
// whole transfer goes as one stream (format/stream_format.h) in one series
// of blocks on one connection: a reader thread walks the files again, reads
// and hashes them into the blocks (transfer/reader.h), while the main thread
// hands each full block to the library, which returns once the receiver has
// every byte. A file that changed or could not be read is named with the
// reason, withdrawn from the receiver, and the others still go. With
// --code the transfer is private: every block is sealed (seal/seal.h) right
// before it goes, and the pairing identifier is the code's.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
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

// What sendBlock returns when a block could not be sealed: no result of
// the library.
constexpr int32_t notSealed = -1000;

// Sends `length` stream bytes at `payload` as a block of `type`. With a
// sealer the block is sealed in place first: `payload` then has the
// sealer's front() bytes of room before it and tagSize bytes after it.
int32_t sendBlock(const Options& options, Sealer* sealer, uint8_t* payload, uint32_t length, int32_t type) {
    const std::string first(stream::streamName);
    if (sealer == nullptr) {
        const std::string second(stream::plainVariant);
        return DyadSendDataBlock(first.c_str(), second.c_str(), options.timeout, payload, length, type,
                                 onProgress);
    }
    const std::string second(stream::sealedVariant);
    uint8_t* block = payload - sealer->front();
    const size_t size = sealer->front() + length + tagSize;
    if (!sealer->seal({type, first, second}, {block, size})) return notSealed;
    return DyadSendDataBlock(first.c_str(), second.c_str(), options.timeout, block, static_cast<uint32_t>(size),
                             type, onProgress);
}

// Sends the blocks that the reader queues until the stream's end or a failed
// library call. A series begins with a type 21 block and ends with a type 20
// one: a stream that fits one block goes as two halves, each sealed as a
// block of its own in a private transfer.
Sent sendBlocks(const Options& options, std::vector<std::vector<uint8_t>>& buffers, Reader& reader,
                Progress& progress, uint64_t fileCount, Sealer* sealer) {
    Sent sent;
    bool first = true;
    while (std::optional<StreamBlock> block = reader.next()) {
        uint8_t* data = buffers[block->buffer].data() + block->offset;
        int32_t result = 0;
        if (first && block->last) {
            const uint32_t half = block->length / 2;  // a stream is longer than 2 bytes
            if (sealer == nullptr) {
                result = sendBlock(options, nullptr, data, half, firstBlock);
                if (result == 0)
                    result = sendBlock(options, nullptr, data + half, block->length - half, lastBlock);
            } else {
                // The halves apart, each with room for what seals it.
                std::vector<uint8_t> one(saltSize + half + tagSize);
                std::vector<uint8_t> two(block->length - half + tagSize);
                std::memcpy(one.data() + saltSize, data, half);
                std::memcpy(two.data(), data + half, block->length - half);
                result = sendBlock(options, sealer, one.data() + saltSize, half, firstBlock);
                if (result == 0) result = sendBlock(options, sealer, two.data(), block->length - half, lastBlock);
            }
        } else {
            result = sendBlock(options, sealer, data, block->length,
                               first         ? firstBlock
                               : block->last ? lastBlock
                                             : middleBlock);
        }
        first = false;
        reader.giveBack(block->buffer);
        if (result == notSealed) {
            std::fprintf(stderr, "%sdyad: a block could not be sealed; sending stopped\n", messageStart());
            sent.status = exitOther;
            return sent;
        }
        if (result != 0) {
            std::fprintf(stderr, "%s", messageStart());
            sent.status = fail(result, "sending");
            return sent;
        }
        for (const std::string& message : block->notes) {
            std::fprintf(stderr, "%sdyad: %s\n", messageStart(), message.c_str());
        }
        for (const std::string& message : block->withdrawn) {
            std::fprintf(stderr, "%sdyad: %s\n", messageStart(), message.c_str());
        }
        sent.notSent += block->withdrawn.size();
        sent.found += block->found;
        progress.exclude(static_cast<double>(block->extra));
        sent.files += block->files;
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
        sent = sendBlocks(options, buffers, reader, progress, collection.files, sealer ? &*sealer : nullptr);
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
