// dyad send: the Initiator's side of moving files. A reader thread reads each
// file block by block into one of a few buffers and adds the bytes to the
// file's checksum; the main thread hands the filled buffers to the library,
// which returns once the receiver has every byte, and gives them back to the
// reader. After a file's last bytes the reader queues its checksum block.
// A folder travels as the files under it, each named by its path from the
// folder's own name, and a block for each folder that holds nothing to send;
// symbolic links inside it are skipped, never followed.
#include <algorithm>
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

// A file or an empty folder to send.
struct Outgoing {
    std::string path;  // where it is here
    std::string name;  // its name or path on the wire; a folder's ends with '/'
    uint64_t size = 0;
    bool folder = false;
    std::optional<sys::FileTime> modified;
};

// What the command line names, as the files and empty folders to send; the
// paths whose names a receiver would refuse go to `problems`, and what is
// skipped is said on the way.
class Collection {
public:
    std::vector<Outgoing> files;
    std::vector<std::string> problems;
    uint64_t total = 0;

    void add(const std::string& argument) {
        std::error_code error;
        const std::filesystem::path where = sys::toPath(argument);
        // A link named on the command line is followed: the person chose it.
        const std::filesystem::file_status status = std::filesystem::status(where, error);
        if (std::filesystem::is_directory(status)) {
            // The folder's own name, also for "." or a path that ends in a
            // separator.
            std::filesystem::path named = std::filesystem::absolute(where, error).lexically_normal();
            if (!named.has_filename()) named = named.parent_path();
            return addFolder(where, sys::toText(named.filename()));
        }
        if (!std::filesystem::is_regular_file(status)) {
            problems.push_back(escaped(argument) + " is not a readable file or folder");
            return;
        }
        addFile(where, sys::toText(where.filename()));
    }

private:
    void addFile(const std::filesystem::path& where, const std::string& name) {
        std::error_code error;
        const std::string shown = sys::toText(where);
        Outgoing file{shown, name, static_cast<uint64_t>(std::filesystem::file_size(where, error)), false, {}};
        if (error) {
            problems.push_back(escaped(shown) + " is not a readable file");
            return;
        }
        sys::FileTime time;
        if (sys::modified(where, &time)) file.modified = time;
        if (!checkName(file)) return;
        total += file.size;
        files.push_back(std::move(file));
    }

    // Adds what is under the folder, in the order of the names; a folder
    // that yields nothing to send travels as a folder of its own.
    void addFolder(const std::filesystem::path& where, const std::string& name) {
        const size_t before = files.size();
        const std::string shown = sys::toText(where);
        std::error_code error;
        std::vector<std::filesystem::path> entries;
        for (std::filesystem::directory_iterator it(where, error), end; !error && it != end; it.increment(error)) {
            entries.push_back(it->path());
        }
        if (error) {
            problems.push_back("cannot read the folder " + escaped(shown) + ": " + error.message());
            return;
        }
        std::sort(entries.begin(), entries.end());
        for (const std::filesystem::path& entry : entries) {
            const std::string entryName = sys::toText(entry.filename());
            const std::string entryShown = escaped(sys::toText(entry));
            const std::filesystem::file_status status = std::filesystem::symlink_status(entry, error);
            if (std::filesystem::is_symlink(status)) {
                std::fprintf(stderr, "dyad: skipped %s: a symbolic link\n", entryShown.c_str());
            } else if (std::filesystem::is_directory(status)) {
                addFolder(entry, name + "/" + entryName);
            } else if (std::filesystem::is_regular_file(status)) {
                addFile(entry, name + "/" + entryName);
            } else {
                std::fprintf(stderr, "dyad: skipped %s: not a file or a folder\n", entryShown.c_str());
            }
        }
        if (files.size() == before) {
            Outgoing folder{shown, name + "/", 0, true, {}};
            if (checkName(folder)) files.push_back(std::move(folder));
        }
    }

    // The receiver refuses what it could not store as it is, whatever its
    // system.
    bool checkName(const Outgoing& file) {
        const std::string path = file.folder ? file.name.substr(0, file.name.size() - 1) : file.name;
        const std::string problem = pathProblem(path);
        if (problem.empty()) return true;
        problems.push_back("the name of " + escaped(file.path) + " would be refused (" + problem + ")");
        return false;
    }
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
        if (file.folder) {
            Piece folder;
            folder.file = index;
            ready_.push(std::move(folder));
            return true;
        }
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
    Collection collection;
    for (const std::string& path : options.files) collection.add(path);
    if (!collection.problems.empty()) {
        for (const std::string& problem : collection.problems) std::fprintf(stderr, "dyad: %s\n", problem.c_str());
        std::fprintf(stderr, "dyad: nothing was sent: rename what would be refused, or leave it out\n");
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
    uint64_t filesDone = 0;
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
            // The blocks this piece stands for: an empty folder's, or a
            // file's next one, with its modification time just before its
            // checksum.
            struct Send {
                std::string second;
                const void* data;
                uint32_t length;
                int32_t type;
            };
            std::vector<Send> blocks;
            if (file.folder) {
                blocks.push_back({std::string(folderMark), "", 0, DYAD_BLOCK_FIRST});
            } else if (!checksum) {
                blocks.push_back(
                    {std::to_string(file.size), buffers[piece->buffer].data(), piece->length, piece->type});
            } else {
                if (file.modified) {
                    blocks.push_back({std::string(timeMark) + std::to_string(file.modified->seconds * 1000000000 +
                                                                             file.modified->nanoseconds),
                                      "", 0, DYAD_BLOCK_MORE});
                }
                blocks.push_back({format.name, piece->checksum.data(), format.digits, DYAD_BLOCK_LAST});
            }
            for (const Send& block : blocks) {
                result = DyadSendDataBlock(file.name.c_str(), block.second.c_str(), options.timeout, block.data,
                                           block.length, block.type, onProgress);
                if (result != 0) break;
            }
            if (!checksum && !file.folder) reader.giveBack(piece->buffer);
            if (result != 0) {
                std::fprintf(stderr, "%s", messageStart());
                status = fail(result, "sending " + escaped(file.path));
                break;
            }
            if (checksum) {
                progress.exclude(format.digits);
                progress.countFiles(++filesDone, fileCount);
            }
        }
    }
    const uint64_t moved = progress.finish();
    showProgress(nullptr);
    DyadClose();
    if (status == exitOk) {
        std::printf("sent %llu file%s, %s in %.2f s (%s/s", static_cast<unsigned long long>(fileCount),
                    fileCount == 1 ? "" : "s", Progress::size(static_cast<double>(moved)).c_str(),
                    progress.seconds(), Progress::size(progress.rate()).c_str());
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
