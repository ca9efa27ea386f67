// dyad send: the Initiator's side of moving files. A reader thread reads each
// file block by block into one of a few buffers and adds the bytes to the
// file's checksum; the main thread hands the filled buffers to the library,
// which returns once the receiver has every byte, and gives them back to the
// reader. After a file's last bytes the reader queues its checksum block.
#include <atomic>
#include <cstdio>
#include <filesystem>
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

struct Outgoing {
    std::string path;
    std::string name;
    uint64_t size = 0;
};

// One block for the main thread to send.
struct Piece {
    size_t file = 0;
    int32_t type = DYAD_BLOCK_FIRST;
    size_t buffer = 0;  // data blocks: the buffer that holds the bytes
    uint32_t length = 0;
    std::string checksum;     // the checksum block: its digits
    bool unreadable = false;  // the file could not be read: stop here
};

class Reader {
public:
    Reader(const std::vector<Outgoing>& files, std::vector<std::vector<uint8_t>>& buffers, Checksum checksum)
        : files_(files), buffers_(buffers), checksum_(checksum) {
        for (size_t i = 0; i < buffers_.size(); ++i) free_.push(i);
        thread_ = std::thread([this] { run(); });
    }
    ~Reader() {
        free_.close();
        thread_.join();
    }

    std::optional<Piece> next() { return ready_.pop(); }
    void giveBack(size_t buffer) { free_.push(buffer); }

private:
    void run() {
        FileHash hash(checksum_);
        for (size_t index = 0; index < files_.size(); ++index) {
            if (!readFile(index, hash)) {
                Piece stop;
                stop.unreadable = true;
                ready_.push(std::move(stop));
                break;
            }
        }
        ready_.close();
    }

    // Queues the file's data blocks and its checksum block; false when it
    // could not be read whole (the file shrank, or a read failed).
    bool readFile(size_t index, FileHash& hash) {
        const Outgoing& file = files_[index];
        std::FILE* in = sys::openRead(sys::toPath(file.path));
        if (in == nullptr) {
            std::fprintf(stderr, "%sdyad: cannot open %s\n", messageStart(), escaped(file.path).c_str());
            return false;
        }
        std::setvbuf(in, nullptr, _IONBF, 0);  // whole blocks: no second copy
        uint64_t left = file.size;
        bool first = true;
        bool ok = true;
        do {
            const std::optional<size_t> buffer = free_.pop();
            if (!buffer) {  // the sending has stopped
                ok = false;
                break;
            }
            std::vector<uint8_t>& bytes = buffers_[*buffer];
            const size_t want = left < bytes.size() ? static_cast<size_t>(left) : bytes.size();
            // In slices that stay in the processor's cache between the read
            // and the hash.
            for (size_t at = 0; ok && at < want; at += hashSlice) {
                const size_t slice = want - at < hashSlice ? want - at : hashSlice;
                ok = std::fread(bytes.data() + at, 1, slice, in) == slice;
                if (ok) hash.update(bytes.data() + at, slice);
            }
            if (!ok) {
                std::fprintf(stderr, "%sdyad: cannot read %s\n", messageStart(), escaped(file.path).c_str());
                break;
            }
            left -= want;
            Piece piece;
            piece.file = index;
            piece.type = first ? DYAD_BLOCK_FIRST : DYAD_BLOCK_MORE;
            piece.buffer = *buffer;
            piece.length = static_cast<uint32_t>(want);
            ready_.push(std::move(piece));
            first = false;
        } while (left > 0);
        std::fclose(in);
        if (!ok) return false;
        Piece checksum;
        checksum.file = index;
        checksum.type = DYAD_BLOCK_LAST;
        checksum.checksum = hash.finish();
        ready_.push(std::move(checksum));
        return true;
    }

    const std::vector<Outgoing>& files_;
    std::vector<std::vector<uint8_t>>& buffers_;
    const Checksum checksum_;
    Queue<size_t> free_;
    Queue<Piece> ready_;
    std::thread thread_;
};

}  // namespace

int commandSend(const Options& options) {
    std::vector<Outgoing> files;
    uint64_t total = 0;
    for (const std::string& path : options.files) {
        std::error_code error;
        const std::filesystem::path where = sys::toPath(path);
        const bool regular = std::filesystem::is_regular_file(where, error);
        const uintmax_t size = regular ? std::filesystem::file_size(where, error) : 0;
        if (!regular || error) {
            std::fprintf(stderr, "dyad: %s is not a readable file\n", escaped(path).c_str());
            return exitFiles;
        }
        Outgoing file{path, sys::toText(where.filename()), static_cast<uint64_t>(size)};
        // The receiver refuses what it could not store as it is, whatever its system.
        const std::string problem = nameProblem(file.name);
        if (!problem.empty()) {
            std::fprintf(stderr, "dyad: the name of %s would be refused (%s): rename the file\n",
                         escaped(path).c_str(), problem.c_str());
            return exitFiles;
        }
        total += file.size;
        files.push_back(file);
    }

    int32_t result = pair(options, 1);
    if (result != 0) return fail(result, "pairing");

    Progress progress(progressStyle(options), "sending");
    showProgress(&progress);
    // The library counts every block byte since the pairing was made, which
    // for the pairing this command made is where it starts.
    progress.begin(0, total);
    int status = exitOk;
    {
        std::vector<std::vector<uint8_t>> buffers(blockBuffers(options.blockSize),
                                                  std::vector<uint8_t>(options.blockSize));
        Reader reader(files, buffers, options.checksum);
        const ChecksumFormat& format = formatOf(options.checksum);
        while (std::optional<Piece> piece = reader.next()) {
            if (piece->unreadable) {
                status = exitFiles;
                break;
            }
            const Outgoing& file = files[piece->file];
            const bool checksum = piece->type == DYAD_BLOCK_LAST;
            const std::string second = checksum ? format.name : std::to_string(file.size);
            const void* data = checksum ? static_cast<const void*>(piece->checksum.data())
                                        : buffers[piece->buffer].data();
            const uint32_t length = checksum ? format.digits : piece->length;
            result = DyadSendDataBlock(file.name.c_str(), second.c_str(), options.timeout, data, length,
                                       piece->type, onProgress);
            if (!checksum) reader.giveBack(piece->buffer);
            if (result != 0) {
                std::fprintf(stderr, "%s", messageStart());
                status = fail(result, "sending " + escaped(file.path));
                break;
            }
            if (checksum) progress.exclude(format.digits);
        }
    }
    const uint64_t moved = progress.finish();
    showProgress(nullptr);
    DyadClose();
    if (status == exitOk) {
        std::printf("sent %zu file%s, %s in %.2f s (%s/s", files.size(), files.size() == 1 ? "" : "s",
                    Progress::size(static_cast<double>(moved)).c_str(), progress.seconds(),
                    Progress::size(progress.rate()).c_str());
        // The first block may wait for the Responder's listening window; the
        // rate after it shows what the link carries.
        if (progress.steadyRate() > 0) {
            std::printf("; %s/s after the first block", Progress::size(progress.steadyRate()).c_str());
        }
        std::printf(")\n");
    }
    return status;
}

}  // namespace dyad
