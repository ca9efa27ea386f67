// dyad send: the Initiator's side of moving files. What the command line
// names is collected and checked before the pairing (transfer/collection.h);
// a reader thread reads the files (transfer/reader.h) while the main thread
// hands their blocks, as the encoder makes them (format/encode.h), to the
// library, which returns once the receiver has every byte. A file that
// changed or could not be read is named with the reason, withdrawn from the
// receiver (format.h) and the others still go.
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "dyadc.h"
#include "tools/base/names.h"
#include "tools/commands/commands.h"
#include "tools/format/encode.h"
#include "tools/library/library.h"
#include "tools/transfer/collection.h"
#include "tools/transfer/reader.h"

namespace dyad {
namespace {

// What the sending did: files that went whole, files withdrawn, and the exit
// status of a failed library call.
struct Sent {
    uint64_t files = 0;
    uint64_t withdrawn = 0;
    int status = exitOk;
};

// The blocks that a piece stands for: an empty folder's, a file's next one,
// or those that end it: its modification time and its checksum, or the
// block that withdraws it (after a first block when none went before).
std::vector<format::OutBlock> blocksOf(const format::SeriesEncoder& encoder, const Piece& piece,
                                       const std::vector<std::vector<uint8_t>>& buffers) {
    switch (piece.kind) {
        case Piece::folder:
            return {format::SeriesEncoder::folder()};
        case Piece::bytes:
            return {
                format::SeriesEncoder::bytes(piece.size, buffers[piece.buffer].data(), piece.length, piece.first)};
        case Piece::end:
            break;
    }
    std::optional<int64_t> seconds;
    if (piece.modified) seconds = piece.modified->seconds;
    return encoder.end(piece.size, piece.started, seconds, piece.modified ? piece.modified->nanoseconds : 0,
                       piece.withdrawn.empty() ? &piece.checksum : nullptr);
}

// Sends what the reader queues until its end or a failed library call.
Sent sendPieces(const Options& options, const std::vector<Outgoing>& files,
                const std::vector<std::vector<uint8_t>>& buffers, Reader& reader, Progress& progress,
                uint64_t fileCount) {
    Sent sent;
    const format::SeriesEncoder encoder(options.checksum);
    while (std::optional<Piece> piece = reader.next()) {
        const Outgoing& file = files[piece->file];
        if (piece->kind == Piece::end && !piece->withdrawn.empty()) {
            std::fprintf(stderr, "%sdyad: skipped %s: %s; the receiver is told to drop it\n", messageStart(),
                         escaped(file.path).c_str(), piece->withdrawn.c_str());
            ++sent.withdrawn;
        }
        int32_t result = 0;
        for (const format::OutBlock& block : blocksOf(encoder, *piece, buffers)) {
            result = DyadSendDataBlock(file.name.c_str(), block.second.c_str(), options.timeout, block.data,
                                       block.length, block.type, onProgress);
            if (result != 0) break;
        }
        if (piece->kind == Piece::bytes) reader.giveBack(piece->buffer);
        if (result != 0) {
            std::fprintf(stderr, "%s", messageStart());
            sent.status = fail(result, "sending " + escaped(file.path));
            return sent;
        }
        if (piece->kind == Piece::end) {
            progress.exclude(encoder.checksum().digits);
            if (piece->withdrawn.empty()) progress.countFiles(++sent.files, fileCount);
        }
    }
    return sent;
}

}  // namespace

int commandSend(const Options& options) {
    Collection collection;
    for (const std::string& path : options.files) collection.add(path);
    collection.checkClashes();
    if (!collection.problems.empty()) {
        for (const std::string& problem : collection.problems) std::fprintf(stderr, "dyad: %s\n", problem.c_str());
        std::fprintf(stderr,
                     "dyad: nothing was sent: rename or make readable what is named above, or leave it out\n");
        return exitFiles;
    }
    const std::vector<Outgoing>& files = collection.files;
    const uint64_t total = collection.total;
    uint64_t fileCount = 0;
    for (const Outgoing& file : files) fileCount += file.folder ? 0 : 1;

    int32_t result = pair(options, 1);
    if (result != 0) return fail(result, "pairing");

    Progress progress(progressStyle(options), "sending");
    showProgress(&progress);
    // The library counts every block byte since the pairing was made, which
    // for the pairing this command made is where it starts.
    progress.begin(0, total);
    progress.countFiles(0, fileCount);
    Sent sent;
    {
        std::vector<std::vector<uint8_t>> buffers(blockBuffers(options.blockSize),
                                                  std::vector<uint8_t>(options.blockSize));
        Reader reader(files, buffers, options.checksum);
        sent = sendPieces(options, files, buffers, reader, progress, fileCount);
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
    if (sent.withdrawn == 0) return exitOk;
    std::fflush(stdout);
    std::fprintf(stderr, "dyad: %llu file%s not sent (named above)\n",
                 static_cast<unsigned long long>(sent.withdrawn), sent.withdrawn == 1 ? " was" : "s were");
    return exitFiles;
}

}  // namespace dyad
