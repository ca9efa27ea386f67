// What dyad receive does with the files that the blocks carry: it writes
// each file into a part file of its own beside the target, hashes the bytes
// as they come, and when the file's checksum arrives compares size and
// checksum and only then gives the file its name and its modification time.
// Every file that fails is reported by name and its part file removed;
// nothing that did not arrive as it left is ever found under its final name.
// A file that cannot be stored is refused and the files after it still
// arrive; only a failure of the receiving folder itself or of the disk ends
// the receive. With a code (a private transfer, dyad receive --code) every
// block is opened (seal/seal.h) before its payload reaches the decoder; the
// first that does not open, a plain stream, or a stream that ends before its
// last block opened ends the receive: the file in progress is removed, the
// files complete before it (each opened whole) keep their names. The blocks reach it through a decoder of their
// format (format/decode.h), chosen by the first block; it runs on one thread.
//
// Files reach the disk in batches rather than one by one: a file that passed
// its checks is closed without waiting and joins the batch; the batch is
// committed when it holds batchFiles files or batchBytes bytes (or files of
// batchFolders folders), before a name that one of its files has arrives
// again, when no block waits, and when the receive ends or breaks. A commit waits once until the
// batch's bytes are on the disk (sys::syncFileSystems), then gives each file
// its name, then waits once for each folder's new names; only then do its
// files count as received. An interrupt removes the batch's part files.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "tools/base/checksum.h"
#include "tools/base/options.h"
#include "tools/base/system.h"
#include "tools/format/decode.h"
#include "tools/seal/seal.h"
#include "tools/transfer/part_file.h"
#include "tools/transfer/store.h"

namespace dyad {

class Receiver {
public:
    // With `code`, the transfer must be private, sealed with it.
    Receiver(const Options& options, const sys::Folder& root, const std::optional<Code>& code = std::nullopt);

    // A block, or a piece of one, as it arrived.
    void take(const format::Block& block);
    // The library refused a block header: its bytes never came.
    void refusedHeader();
    // No block waits: the batch is committed, so that its files do not wait
    // for blocks that may be long in coming.
    void idle() { commitBatch(); }
    // The blocks have ended (`peerClosed`: the peer closed the pairing
    // normally): a file still in progress is completed when it was a single
    // block of an earlier sender and the peer closed, else removed.
    void end(bool peerClosed);

    // The receiving folder cannot be written: receiving more is pointless.
    bool broken() const { return state_.load() == State::broken; }
    int status() const { return status_; }
    int files() const { return files_.load(); }

    static constexpr size_t batchFiles = 1024;
    static constexpr uint64_t batchBytes = 256u << 20;
    static constexpr size_t batchFolders = 64;  // each holds a descriptor open

private:
    // A file that passed its checks and waits for its batch's commit.
    struct Pending {
        std::unique_ptr<PartFile> part;
        std::shared_ptr<const sys::Folder> folder;
        std::string storedFolderPath;
        std::string name;  // its path as sent
        std::string leaf;
        uint64_t bytes = 0;
        std::string verdict;  // how it was verified, for its "received" line
    };

    enum class State {
        idle,      // no file in progress
        writing,   // the file in progress goes into its part file
        skipping,  // the file in progress was refused: its bytes are dropped as they come
        broken,    // nothing more can be stored: the receive ends
    };

    static void message(const std::string& text);
    void handle(const format::Event& event);
    void note(int status);
    void refuse(int status, const std::string& why);
    void breakDown(const std::string& text);
    void cannot(const std::string& doing, const sys::Failure& failure);
    void endFile(const format::Event& event);
    void makeFolder(const std::string& path);
    void start(const format::Event& event);
    bool open(sys::Failure* failure);
    void add(const uint8_t* bytes, uint32_t length);
    void complete(const format::Claim& claim);
    bool verify(const format::Claim& claim);
    void name(const format::Claim& claim);
    void commitBatch();
    bool open(format::Block* block);
    void notAuthentic(const std::string& why);
    void stop(const format::Event& event);
    std::string shownName() const;
    std::string where() const;

    const Options& options_;
    std::unique_ptr<format::BlockDecoder> decoder_;
    std::unique_ptr<Opener> opener_;  // a private transfer's
    Store store_;
    std::atomic<State> state_{State::idle};
    int status_ = exitOk;
    std::atomic<int> files_{0};
    uint64_t blocksTaken_ = 0;
    std::mt19937 random_;
    // The file in progress.
    std::string name_;  // its path
    std::string leaf_;  // the last name of its path: its name in its folder
    std::unique_ptr<PartFile> part_ = std::make_unique<PartFile>();
    format::Size size_;
    uint64_t written_ = 0;
    std::optional<sys::FileTime> modified_;
    std::optional<FileHash> hash_;
    // The checksum to hash the next file with: the one the sender named
    // last, which names the same one for all its files.
    Checksum expected_;
    // The batch: its files, their bytes, their folders, and their paths in
    // lowercase (a name that differs in case only may reach one of them).
    std::vector<Pending> batch_;
    uint64_t batchBytes_ = 0;
    std::set<const sys::Folder*> batchFolders_;
    std::set<std::string> batchNames_;
    bool committing_ = false;
};

}  // namespace dyad
