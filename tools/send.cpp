// dyad send: the Initiator's side of moving files. A reader thread reads each
// file block by block into one of a few buffers and adds the bytes to the
// file's checksum; the main thread hands the filled buffers to the library,
// which returns once the receiver has every byte, and gives them back to the
// reader. After a file's last bytes the reader queues its checksum block.
// A folder travels as the files under it, each named by its path from the
// folder's own name, and a block for each folder that holds nothing to send;
// symbolic links inside it are skipped, never followed.
//
// Every file is checked before the pairing: its name, that it can be opened
// and read, and that no two files would arrive under one name. Between the
// listing and the sending another program may still change a file: each is
// opened again as itself (no link followed, no FIFO waited on) and its size
// and time are compared after its last byte was read. A file that fails
// there is named with the reason, withdrawn from the receiver (format.h) and
// the others still go.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
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

constexpr int64_t nanosecondsPerSecond = 1000000000;

// Whether a modification time fits the time block, which counts nanoseconds
// in 64 bits: from 1677 to 2262.
bool travels(const sys::FileTime& time) {
    return time.seconds < INT64_MAX / nanosecondsPerSecond && time.seconds > INT64_MIN / nanosecondsPerSecond;
}

// A file or an empty folder to send.
struct Outgoing {
    std::string path;  // where it is here, for messages
    std::string name;  // its name or path on the wire; a folder's ends with '/'
    // How it is opened: the file or folder named on the command line, and
    // the path below that folder ("" for what was named itself).
    std::filesystem::path root;
    std::string inside;
    uint64_t size = 0;
    bool folder = false;
    std::optional<sys::FileTime> modified;
};

// What the command line names, as the files and empty folders to send; the
// paths that a receiver would refuse or that cannot be read go to
// `problems`, and what is skipped is said on the way.
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
            return addFolder(where, where, "", sys::toText(named.filename()));
        }
        if (!std::filesystem::is_regular_file(status)) {
            problems.push_back(escaped(argument) + " is not a readable file or folder");
            return;
        }
        addFile(where, where, "", sys::toText(where.filename()));
    }

    // Two files that would arrive under one name, or a file whose name
    // another path needs for a folder: the receiver would keep only one.
    void checkClashes() {
        std::map<std::string, const Outgoing*> named;
        std::map<std::string, const Outgoing*> folders;  // the folders of every path
        for (const Outgoing& file : files) {
            const std::string name = file.folder ? file.name.substr(0, file.name.size() - 1) : file.name;
            for (size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1)) {
                folders.emplace(name.substr(0, slash), &file);
            }
            if (file.folder) {
                folders.emplace(name, &file);
                continue;
            }
            const auto [other, fresh] = named.emplace(name, &file);
            if (!fresh) {
                problems.push_back(escaped(other->second->path) + " and " + escaped(file.path) +
                                   " would both arrive as " + escaped(name));
            }
        }
        for (const auto& [name, file] : named) {
            const auto folder = folders.find(name);
            if (folder != folders.end()) {
                problems.push_back(escaped(file->path) + " would arrive as " + escaped(name) + ", which " +
                                   escaped(folder->second->path) + " needs as a folder");
            }
        }
    }

private:
    // A file, opened once as the reader will open it: one that cannot be
    // read stops the command before it pairs.
    void addFile(const std::filesystem::path& where, const std::filesystem::path& root, const std::string& inside,
                 const std::string& name) {
        const std::string shown = sys::toText(where);
        Outgoing file{shown, name, root, inside, 0, false, {}};
        sys::FileToSend opened;
        std::string problem = "its size and time cannot be read";
        sys::FileTime time;
        if (!opened.open(root, inside, &problem) || !opened.state(&file.size, &time)) {
            problems.push_back(escaped(shown) + " cannot be read (" + problem + ")");
            return;
        }
        if (travels(time)) {
            file.modified = time;
        } else {
            std::fprintf(stderr,
                         "dyad: %s is dated outside the years 1677 to 2262 that a modification time travels "
                         "in; it is sent without its time, and gets the time of its arrival\n",
                         escaped(shown).c_str());
        }
        if (!checkName(file)) return;
        total += file.size;
        files.push_back(std::move(file));
    }

    // Adds what is under the folder `where`, which lies at `inside` in the
    // folder `root` named on the command line, in the order of the names; a
    // folder that yields nothing to send travels as a folder of its own.
    void addFolder(const std::filesystem::path& where, const std::filesystem::path& root,
                   const std::string& inside, const std::string& name) {
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
            const std::string entryInside = inside.empty() ? entryName : inside + "/" + entryName;
            const std::string entryShown = escaped(sys::toText(entry));
            const std::filesystem::file_status status = std::filesystem::symlink_status(entry, error);
            if (std::filesystem::is_symlink(status)) {
                std::fprintf(stderr, "dyad: skipped %s: a symbolic link\n", entryShown.c_str());
            } else if (std::filesystem::is_directory(status)) {
                addFolder(entry, root, entryInside, name + "/" + entryName);
            } else if (std::filesystem::is_regular_file(status)) {
                addFile(entry, root, entryInside, name + "/" + entryName);
            } else {
                std::fprintf(stderr, "dyad: skipped %s: not a file or a folder\n", entryShown.c_str());
            }
        }
        if (files.size() == before) {
            Outgoing folder{shown, name + "/", root, inside, 0, true, {}};
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

// One block for the main thread to send, or the end of a file.
struct Piece {
    size_t file = 0;
    int32_t type = DYAD_BLOCK_FIRST;
    uint64_t size = 0;  // the file's size as its blocks give it
    size_t buffer = 0;  // data blocks: the buffer that holds the bytes
    uint32_t length = 0;
    // The end of a file (type DYAD_BLOCK_LAST): its checksum's digits and
    // its modification time, or why it is withdrawn, and whether any block
    // of it was queued before.
    std::string checksum;
    std::optional<sys::FileTime> modified;
    std::string withdrawn;
    bool started = true;
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
            if (!readFile(index, hash)) break;
        }
        ready_.close();
    }

    // Queues the file's data blocks and the block that ends it; false when
    // the sending has stopped.
    bool readFile(size_t index, FileHash& hash) {
        const Outgoing& file = files_[index];
        Piece end;
        end.file = index;
        end.type = DYAD_BLOCK_LAST;
        end.size = file.size;
        if (file.folder) {
            Piece folder;
            folder.file = index;
            ready_.push(std::move(folder));
            return true;
        }
        sys::FileToSend in;
        sys::FileTime opened;
        if (!in.open(file.root, file.inside, &end.withdrawn) || !in.state(&end.size, &opened)) {
            if (end.withdrawn.empty()) end.withdrawn = "its size and time cannot be read";
            end.started = false;
            end.size = file.size;
            ready_.push(std::move(end));
            return true;
        }
        uint64_t left = end.size;
        bool first = true;
        do {
            const std::optional<size_t> buffer = free_.pop();
            if (!buffer) return false;
            std::vector<uint8_t>& bytes = buffers_[*buffer];
            const size_t want = left < bytes.size() ? static_cast<size_t>(left) : bytes.size();
            // In slices that stay in the processor's cache between the read
            // and the hash.
            for (size_t at = 0; end.withdrawn.empty() && at < want;) {
                const size_t slice = want - at < hashSlice ? want - at : hashSlice;
                const int64_t got = in.read(bytes.data() + at, slice, &end.withdrawn);
                if (got < 0) {
                    end.withdrawn = "cannot read it (" + end.withdrawn + ")";
                } else if (got == 0) {
                    end.withdrawn = "it shrank while it was sent";
                } else {
                    hash.update(bytes.data() + at, static_cast<size_t>(got));
                    at += static_cast<size_t>(got);
                }
            }
            if (!end.withdrawn.empty()) {
                free_.push(*buffer);
                end.started = !first;
                break;
            }
            left -= want;
            Piece piece;
            piece.file = index;
            piece.type = first ? DYAD_BLOCK_FIRST : DYAD_BLOCK_MORE;
            piece.size = end.size;
            piece.buffer = *buffer;
            piece.length = static_cast<uint32_t>(want);
            ready_.push(std::move(piece));
            first = false;
        } while (left > 0);
        // What was read is the file as it was opened only when neither its
        // size nor its time has changed since.
        uint64_t size = 0;
        sys::FileTime now;
        if (end.withdrawn.empty() && (!in.state(&size, &now) || size != end.size ||
                                      now.seconds != opened.seconds || now.nanoseconds != opened.nanoseconds)) {
            end.withdrawn = "it changed while it was sent";
        }
        if (end.withdrawn.empty()) {
            end.checksum = hash.finish();
        } else {
            (void)hash.finish();  // starts the next file's afresh
        }
        if (end.started && travels(opened)) end.modified = opened;
        ready_.push(std::move(end));
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
    uint64_t filesDone = 0;
    uint64_t withdrawn = 0;
    int status = exitOk;
    {
        std::vector<std::vector<uint8_t>> buffers(blockBuffers(options.blockSize),
                                                  std::vector<uint8_t>(options.blockSize));
        Reader reader(files, buffers, options.checksum);
        const ChecksumFormat& format = formatOf(options.checksum);
        const std::string withdrawnData = withdrawnDigits(format);
        while (std::optional<Piece> piece = reader.next()) {
            const Outgoing& file = files[piece->file];
            const bool last = piece->type == DYAD_BLOCK_LAST;
            const std::string size = std::to_string(piece->size);
            // The blocks this piece stands for: an empty folder's, a file's
            // next one, or those that end it: its modification time and its
            // checksum, or the block that withdraws it (after a first block
            // when none went before).
            struct Send {
                std::string second;
                const void* data;
                uint32_t length;
                int32_t type;
            };
            std::vector<Send> blocks;
            if (file.folder) {
                blocks.push_back({std::string(folderMark), "", 0, DYAD_BLOCK_FIRST});
            } else if (!last) {
                blocks.push_back({size, buffers[piece->buffer].data(), piece->length, piece->type});
            } else {
                if (!piece->started) blocks.push_back({size, "", 0, DYAD_BLOCK_FIRST});
                if (piece->modified) {
                    blocks.push_back(
                        {std::string(timeMark) + std::to_string(piece->modified->seconds * nanosecondsPerSecond +
                                                                piece->modified->nanoseconds),
                         "", 0, DYAD_BLOCK_MORE});
                }
                const std::string& digits = piece->withdrawn.empty() ? piece->checksum : withdrawnData;
                blocks.push_back({format.name, digits.data(), format.digits, DYAD_BLOCK_LAST});
                if (!piece->withdrawn.empty()) {
                    std::fprintf(stderr, "%sdyad: skipped %s: %s; the receiver is told to drop it\n",
                                 messageStart(), escaped(file.path).c_str(), piece->withdrawn.c_str());
                    ++withdrawn;
                }
            }
            for (const Send& block : blocks) {
                result = DyadSendDataBlock(file.name.c_str(), block.second.c_str(), options.timeout, block.data,
                                           block.length, block.type, onProgress);
                if (result != 0) break;
            }
            if (!last && !file.folder) reader.giveBack(piece->buffer);
            if (result != 0) {
                std::fprintf(stderr, "%s", messageStart());
                status = fail(result, "sending " + escaped(file.path));
                break;
            }
            if (last) {
                progress.exclude(format.digits);
                if (piece->withdrawn.empty()) progress.countFiles(++filesDone, fileCount);
            }
        }
    }
    const uint64_t moved = progress.finish();
    showProgress(nullptr);
    DyadClose();
    // A failed pairing, connection or time limit stopped the sending and
    // gives the status; a file that did not go gives 8.
    if (status != exitOk) return status;
    std::printf("sent %llu file%s, %s in %.2f s (%s/s", static_cast<unsigned long long>(filesDone),
                filesDone == 1 ? "" : "s", Progress::size(static_cast<double>(moved)).c_str(), progress.seconds(),
                Progress::size(progress.rate()).c_str());
    // The first block may wait for the Responder's listening window; the
    // rate after it shows what the link carries, when enough followed it.
    if (progress.steadyRate() > 0) {
        std::printf("; %s/s after the first block", Progress::size(progress.steadyRate()).c_str());
    }
    std::printf(")\n");
    if (withdrawn == 0) return exitOk;
    std::fflush(stdout);
    std::fprintf(stderr, "dyad: %llu file%s not sent (named above)\n", static_cast<unsigned long long>(withdrawn),
                 withdrawn == 1 ? " was" : "s were");
    return exitFiles;
}

}  // namespace dyad
