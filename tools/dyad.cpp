// dyad: the command-line host program of the dyadc library.
//
//   dyad receive --id ID [--accept NAME ...] [--dir DIR]   act as the Responder
//                and store the files that the peer sends
//   dyad send --id ID FILE...                              act as the Initiator
//                and send the files
//   dyad pair --id ID --role initiator|responder           pair, report, close
//
// Files travel as blocks whose first name is the file's name and whose second
// name is its size in bytes: a file larger than one block as a series (21,
// 22..., 20), a smaller one as a single block of type 1.
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "dyadc.h"
#include "tools/progress.h"

namespace {

using Clock = std::chrono::steady_clock;

// Exit statuses.
enum Exit : int {
    exitOk = 0,
    exitUsage = 2,          // bad arguments
    exitRefused = 3,        // the pairing was refused (103)
    exitTimedOut = 4,       // a time limit passed (101)
    exitConnection = 5,     // a connection step failed (100), or the peer went away
    exitLocal = 6,          // a local socket failed (1), or the mask is unusable (104)
    exitUpdated = 7,        // the library update was transferred (24): pair again
    exitFiles = 8,          // a file could not be read or written, or a name was refused
    exitOther = 9,          // any other result of the library
};

constexpr int32_t singleBlockType = 1;

struct Options {
    std::string id;
    uint32_t timeout = 0;
    std::string mask;
    std::string logPath;
    int logLevel = -1;
    uint32_t blockSize = 1u << 20;
    bool quiet = false;
    // receive and pair
    std::vector<std::string> accept;
    std::string dir = ".";
    // send
    std::vector<std::string> files;
    // pair
    std::string role;
};

Options options;
dyad::Progress* activeProgress = nullptr;

void onProgress(double bytesTransferred) {
    if (activeProgress != nullptr) activeProgress->update(bytesTransferred);
}

dyad::Progress::Style progressStyle() {
    if (options.quiet) return dyad::Progress::Style::none;
    return isatty(STDERR_FILENO) ? dyad::Progress::Style::bar : dyad::Progress::Style::lines;
}

// The library's meaning of a result and its number, for messages.
std::string describe(int32_t result) {
    const char* meaning = "the library reported an error";
    switch (result) {
#define DYAD_MEANING(name, value, text) \
    case value:                         \
        meaning = text;                 \
        break;
        DYAD_RESULT_MAP(DYAD_MEANING)
#undef DYAD_MEANING
        default:
            break;
    }
    return std::string(meaning) + " (" + std::to_string(result) + ")";
}

int exitFor(int32_t result) {
    switch (result) {
        case DYAD_OK: return exitOk;
        case DYAD_SOCKET_FAILED: case DYAD_BAD_MASK: return exitLocal;
        case DYAD_UPDATED: return exitUpdated;
        case DYAD_CONNECTION_FAILED: case DYAD_UPDATE_FAILED: case DYAD_PEER_CLOSED: return exitConnection;
        case DYAD_TIMED_OUT: return exitTimedOut;
        case DYAD_REFUSED: return exitRefused;
        default: return exitOther;
    }
}

int fail(int32_t result, const std::string& doing) {
    std::fprintf(stderr, "dyad: %s: %s\n", doing.c_str(), describe(result).c_str());
    if (result == DYAD_UPDATED) {
        std::fprintf(stderr,
                     "dyad: the Responder stored the newer library as dyadc.dl_ beside its installed one; "
                     "install it there and pair again\n");
    }
    return exitFor(result);
}

// A name that may become a file in the receiving directory.
bool plainFileName(const std::string& name) {
    if (name.empty() || name.size() > 200 || name == "." || name == "..") return false;
    for (unsigned char c : name) {
        if (c == '/' || c == '\\' || c == '|' || c < 32 || c == 127) return false;
    }
    return true;
}

int32_t onIdentifier(char* buffer) {
    std::snprintf(buffer, DYAD_IDENTIFIER_BUFFER_SIZE, "%s", options.id.c_str());
    return 0;
}

int32_t onVerify(const char* name) {
    for (const std::string& accepted : options.accept) {
        if (accepted == name) {
            std::fprintf(stderr, "dyad: accepted workstation %s\n", name);
            return 0;
        }
    }
    if (!options.accept.empty() || !isatty(STDIN_FILENO)) {
        std::fprintf(stderr, "dyad: refused workstation %s%s\n", name,
                     options.accept.empty() ? " (no --accept given and no terminal to ask)" : " (not in --accept)");
        return 1;
    }
    std::fprintf(stderr, "Workstation %s wants to pair. Accept it? [y/N] ", name);
    std::fflush(stderr);
    char answer[16] = {};
    if (std::fgets(answer, sizeof answer, stdin) == nullptr) return 1;
    return answer[0] == 'y' || answer[0] == 'Y' ? 0 : 1;
}

void applyLog() {
    if (options.logPath.empty()) return;
    int level = options.logLevel >= 0 ? options.logLevel : 1;
    DyadSetLog(options.logPath.c_str(), 10u << 20, level);
}

// Pairs as Initiator (mode 1) or Responder (mode 2) and reports how long it
// took ("paired in", or `what` before it). Returns the library's result.
int32_t pair(int32_t mode, const char* what = "paired") {
    applyLog();
    auto began = Clock::now();
    int32_t result = options.mask.empty()
                         ? DyadOpen(onIdentifier, onVerify, options.timeout, mode)
                         : DyadOpenXOver(onIdentifier, onVerify, options.timeout, mode, options.mask.c_str());
    if (result == 0) {
        std::printf("%s in %.3f s\n", what, std::chrono::duration<double>(Clock::now() - began).count());
        std::fflush(stdout);
    }
    return result;
}

// --- send -------------------------------------------------------------------

struct Outgoing {
    std::string path;
    std::string name;
    uint64_t size = 0;
};

int commandSend() {
    std::vector<Outgoing> files;
    uint64_t total = 0;
    for (const std::string& path : options.files) {
        struct stat status {};
        if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
            std::fprintf(stderr, "dyad: %s is not a readable file\n", path.c_str());
            return exitFiles;
        }
        Outgoing file{path, std::filesystem::path(path).filename().string(),
                      static_cast<uint64_t>(status.st_size)};
        if (!plainFileName(file.name)) {
            std::fprintf(stderr, "dyad: the name of %s cannot travel (at most 200 characters, no '|')\n",
                         path.c_str());
            return exitFiles;
        }
        total += file.size;
        files.push_back(file);
    }

    int32_t result = pair(1);
    if (result != 0) return fail(result, "pairing");

    dyad::Progress progress(progressStyle(), "sending");
    activeProgress = &progress;
    // The library counts every block byte since the pairing was made, which
    // for the pairing this command made is where it starts.
    progress.begin(0, total);
    std::vector<uint8_t> block(options.blockSize);
    int status = exitOk;
    for (const Outgoing& file : files) {
        std::FILE* in = std::fopen(file.path.c_str(), "rb");
        if (in == nullptr) {
            std::fprintf(stderr, "\ndyad: cannot open %s\n", file.path.c_str());
            status = exitFiles;
            break;
        }
        const std::string sizeText = std::to_string(file.size);
        uint64_t left = file.size;
        bool first = true;
        do {
            const size_t want = left < options.blockSize ? static_cast<size_t>(left) : options.blockSize;
            const size_t got = want > 0 ? std::fread(block.data(), 1, want, in) : 0;
            if (got != want) {
                std::fprintf(stderr, "\ndyad: cannot read %s\n", file.path.c_str());
                status = exitFiles;
                break;
            }
            left -= got;
            int32_t type = file.size <= options.blockSize ? singleBlockType
                           : first                        ? DYAD_BLOCK_FIRST
                           : left == 0                    ? DYAD_BLOCK_LAST
                                                          : DYAD_BLOCK_MORE;
            result = DyadSendDataBlock(file.name.c_str(), sizeText.c_str(), options.timeout, block.data(),
                                       static_cast<uint32_t>(got), type, onProgress);
            if (result != 0) {
                std::fprintf(stderr, "\n");
                status = fail(result, "sending " + file.path);
                break;
            }
            first = false;
        } while (left > 0);
        std::fclose(in);
        if (status != exitOk) break;
    }
    const uint64_t moved = progress.finish();
    activeProgress = nullptr;
    DyadClose();
    if (status == exitOk) {
        std::printf("sent %zu file%s, %s in %.2f s (%s/s", files.size(), files.size() == 1 ? "" : "s",
                    dyad::Progress::size(static_cast<double>(moved)).c_str(), progress.seconds(),
                    dyad::Progress::size(progress.rate()).c_str());
        // The first block often waits a second for the Responder's listening
        // window; the rate after it shows what the link carries.
        if (progress.steadyRate() > 0) {
            std::printf("; %s/s after the first block", dyad::Progress::size(progress.steadyRate()).c_str());
        }
        std::printf(")\n");
    }
    return status;
}

// --- receive ----------------------------------------------------------------

// Puts the received blocks together into files of the target directory.
class Assembler {
public:
    ~Assembler() { abandon(); }

    // A block that starts a file: a series' first block or a single block.
    bool start(const char* name, const char* sizeText, bool series) {
        if (!finishSingle()) return false;
        if (file_ != nullptr) {
            std::fprintf(stderr, "\ndyad: %s ended without its last block\n", name_.c_str());
            abandon();
            failed_ = true;
        }
        name_ = name;
        series_ = series;
        written_ = 0;
        char* end = nullptr;
        expected_ = std::strtoull(sizeText, &end, 10);
        if (end == sizeText || *end != '\0') expected_ = UINT64_MAX;  // not told
        if (!plainFileName(name_)) {
            std::fprintf(stderr, "\ndyad: refused the file name '%s' (not a plain file name)\n", name_.c_str());
            skipping_ = true;
            failed_ = true;
            return true;
        }
        skipping_ = false;
        partPath_ = options.dir + "/." + name_ + ".dyad-part";
        file_ = std::fopen(partPath_.c_str(), "wb");
        if (file_ == nullptr) {
            std::fprintf(stderr, "\ndyad: cannot write %s\n", partPath_.c_str());
            failed_ = true;
            return false;
        }
        return true;
    }

    bool add(const uint8_t* bytes, int32_t length) {
        if (skipping_) return true;
        if (file_ == nullptr) {
            std::fprintf(stderr, "\ndyad: dropped %d bytes that belong to no file\n", length);
            return true;
        }
        if (length > 0 && std::fwrite(bytes, 1, static_cast<size_t>(length), file_) != static_cast<size_t>(length)) {
            std::fprintf(stderr, "\ndyad: cannot write %s\n", partPath_.c_str());
            failed_ = true;
            abandon();
            return false;
        }
        written_ += static_cast<uint64_t>(length);
        return true;
    }

    // The last block of a series arrived.
    bool endSeries() {
        if (skipping_) {
            skipping_ = false;
            return true;
        }
        return complete();
    }

    // A single file ends when the next file starts or the peer closes.
    bool finishSingle() {
        if (skipping_ && !series_) skipping_ = false;
        if (file_ != nullptr && !series_) return complete();
        return true;
    }

    bool failed() const { return failed_; }
    bool open() const { return file_ != nullptr; }
    void abandon() {
        if (file_ != nullptr) {
            std::fclose(file_);
            std::remove(partPath_.c_str());
        }
        file_ = nullptr;
    }
    int files() const { return files_; }

private:
    bool complete() {
        if (file_ == nullptr) return true;
        bool ok = std::fclose(file_) == 0;
        file_ = nullptr;
        if (ok && expected_ != UINT64_MAX && written_ != expected_) {
            std::fprintf(stderr, "\ndyad: %s arrived with %llu of its %llu bytes\n", name_.c_str(),
                         static_cast<unsigned long long>(written_), static_cast<unsigned long long>(expected_));
            ok = false;
        }
        const std::string finalPath = options.dir + "/" + name_;
        // Replaces a file of that name on every system.
        std::error_code renamed;
        if (ok) std::filesystem::rename(partPath_, finalPath, renamed);
        if (renamed) ok = false;
        if (!ok) {
            std::remove(partPath_.c_str());
            failed_ = true;
            return false;
        }
        ++files_;
        if (!options.quiet) {
            std::fprintf(stderr, "%sreceived %s (%s)\n", progressStyle() == dyad::Progress::Style::bar ? "\r\033[K" : "",
                         name_.c_str(), dyad::Progress::size(static_cast<double>(written_)).c_str());
        }
        return true;
    }

    std::FILE* file_ = nullptr;
    std::string name_;
    std::string partPath_;
    uint64_t expected_ = 0;
    uint64_t written_ = 0;
    bool series_ = false;
    bool skipping_ = false;
    bool failed_ = false;
    int files_ = 0;
};

int commandReceive() {
    struct stat status {};
    if (stat(options.dir.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        std::fprintf(stderr, "dyad: %s is not a directory\n", options.dir.c_str());
        return exitFiles;
    }
    int32_t result = pair(2);
    if (result != 0) return fail(result, "pairing");

    dyad::Progress progress(progressStyle(), "receiving");
    activeProgress = &progress;
    progress.begin(0, 0);
    std::vector<uint8_t> buffer(options.blockSize);
    Assembler files;
    char first[DYAD_NAME_BUFFER_SIZE];
    char second[DYAD_NAME_BUFFER_SIZE];
    int exitStatus = exitOk;
    for (;;) {
        int32_t length = -1;
        int32_t type = DYAD_BLOCK_MORE;  // keeps the connection after an odd line
        result = DyadRecvDataBlock(first, second, options.timeout, buffer.data(), options.blockSize, &length, &type,
                                   onProgress);
        if (result == DYAD_PEER_CLOSED) break;
        if (result == DYAD_INVALID) {
            std::fprintf(stderr, "\ndyad: the peer sent an incomplete block header\n");
            continue;
        }
        if (result != 0) {
            std::fprintf(stderr, "\n");
            exitStatus = fail(result, "receiving");
            break;
        }
        if (length < 0) continue;  // an empty or unknown line
        bool ok = true;
        if (type == DYAD_BLOCK_FIRST || (type != DYAD_BLOCK_MORE && type != DYAD_BLOCK_LAST)) {
            ok = files.start(first, second, type == DYAD_BLOCK_FIRST);
        }
        if (ok) ok = files.add(buffer.data(), length);
        if (ok && type == DYAD_BLOCK_LAST) ok = files.endSeries();
        if (!ok) {
            exitStatus = exitFiles;
            break;
        }
    }
    if (exitStatus == exitOk) {
        files.finishSingle();
        if (files.open()) {
            std::fprintf(stderr, "dyad: the peer closed the pairing in the middle of a file\n");
            files.abandon();
            exitStatus = exitConnection;
        }
    }
    const uint64_t moved = progress.finish();
    activeProgress = nullptr;
    DyadClose();
    if (exitStatus == exitOk && files.failed()) exitStatus = exitFiles;
    std::printf("received %d file%s, %s in %.2f s (%s/s)\n", files.files(), files.files() == 1 ? "" : "s",
                dyad::Progress::size(static_cast<double>(moved)).c_str(), progress.seconds(),
                dyad::Progress::size(progress.rate()).c_str());
    return exitStatus;
}

// --- pair -------------------------------------------------------------------

int commandPair() {
    const bool initiator = options.role == "initiator";
    const std::string what = "paired as " + options.role;
    int32_t result = pair(initiator ? 1 : 2, what.c_str());
    if (result != 0) return fail(result, "pairing");
    DyadClose();
    return exitOk;
}

void addCommon(CLI::App* command) {
    command->add_option("--id", options.id, "pairing identifier shared by both sides (at most 63 characters)")
        ->required()
        ->check([](const std::string& id) {
            return id.size() <= DYAD_IDENTIFIER_MAX ? std::string() : std::string("at most 63 characters");
        });
    command->add_option("--timeout", options.timeout, "seconds to wait for the peer and for each block (0: forever)");
    command->add_option("--mask", options.mask, "use only interfaces whose address matches, e.g. 192.168.0.0");
    command->add_option("--log", options.logPath, "diagnostic log file");
    command->add_option("--log-level", options.logLevel, "0 off, 1 basic, 2 every line (default 1 with --log)")
        ->check(CLI::Range(0, 2));
    command->add_option("--block-size", options.blockSize, "bytes per block and receive buffer (default 1 MiB)")
        ->check(CLI::Range(1u, 1u << 30));
    command->add_flag("--quiet", options.quiet, "no progress display");
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"dyad: pairs two workstations of a local network and moves files between them"};
    app.require_subcommand(1);
    app.footer(
        "Exit status: 0 done; 2 bad arguments; 3 the peer refused this computer's name; 4 a time limit passed; "
        "5 a connection failed or the peer went away; 6 a local socket or the mask is unusable; 7 a newer library "
        "was transferred, install it and pair again; 8 a file could not be read or written, or a file name was "
        "refused; 9 any other failure.");

    CLI::App* receive = app.add_subcommand("receive", "act as the Responder and store the files the peer sends");
    addCommon(receive);
    receive->add_option("--accept", options.accept, "computer names to accept without asking");
    receive->add_option("--dir", options.dir, "directory for the received files (default: the current one)");

    CLI::App* send = app.add_subcommand("send", "act as the Initiator and send files");
    addCommon(send);
    send->add_option("files", options.files, "files to send")->required();

    CLI::App* pairing = app.add_subcommand("pair", "pair, report and close again");
    addCommon(pairing);
    pairing->add_option("--accept", options.accept, "computer names to accept without asking (responder)");
    pairing->add_option("--role", options.role, "initiator or responder")
        ->required()
        ->check(CLI::IsMember({"initiator", "responder"}));

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        int code = app.exit(error);
        return code == 0 ? exitOk : exitUsage;
    }
    if (receive->parsed()) return commandReceive();
    if (send->parsed()) return commandSend();
    return commandPair();
}
