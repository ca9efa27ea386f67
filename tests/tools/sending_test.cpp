// The sender's check and packing (tools/transfer/collection.h, reader.h) on
// this system's files: what the check counts and refuses, and the blocks
// that the reader fills, which decode into exactly the files, folders, times
// and digests of the tree, in every block size and with either checksum.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "tools/base/checksum.h"
#include "tools/format/stream_decoder.h"
#include "tools/transfer/collection.h"
#include "tools/transfer/reader.h"

namespace dyad {
namespace {

namespace fs = std::filesystem;

class SendingTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("dyad-sending-test-" + std::to_string(std::random_device{}()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string at(const std::string& path) const { return (dir_ / path).string(); }
    void write(const std::string& path, size_t size) const {
        fs::create_directories((dir_ / path).parent_path());
        std::string bytes(size, '\0');
        for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + path.size());
        std::ofstream(dir_ / path, std::ios::binary) << bytes;
    }
    // The tree "t": files of 0, 1 and 9,000 bytes, one in a folder below,
    // an empty folder, a folder with nothing but a link, and the link.
    void tree() const {
        write("t/a", 0);
        write("t/b", 9000);
        write("t/sub/c", 1);
        fs::create_directories(dir_ / "t/empty");
        fs::create_directories(dir_ / "t/links");
        std::error_code error;  // a system without links leaves the folder empty, as the link does
        fs::create_symlink(dir_ / "t/b", dir_ / "t/links/b", error);
    }
    // What a tree's stream says, record by record, as the decoder reads the
    // reader's blocks; blocks not marked last before the last one.
    std::vector<std::string> packed(const std::vector<std::string>& arguments, Checksum checksum,
                                    uint32_t blockSize) {
        const Collection collection(arguments);
        EXPECT_TRUE(collection.problems.empty());
        std::vector<std::vector<uint8_t>> buffers(2, std::vector<uint8_t>(blockSize));
        Reader reader(arguments, buffers, checksum, collection.files, collection.bytes);
        stream::StreamDecoder decoder;
        std::vector<std::string> records;
        FileHash hash(checksum);
        bool last = false;
        while (std::optional<StreamBlock> block = reader.next()) {
            EXPECT_FALSE(last);
            last = block->last;
            EXPECT_TRUE(block->last || block->length == blockSize);
            decoder.feed({buffers[block->buffer].data(), block->length});
            for (stream::StreamEvent event = decoder.next(); event.kind != stream::StreamEvent::more;
                 event = decoder.next()) {
                const std::string path(event.path);
                switch (event.kind) {
                    case stream::StreamEvent::header:
                        records.push_back("header " + std::to_string(event.files) + " " +
                                          std::to_string(event.bytes));
                        break;
                    case stream::StreamEvent::fileBegin:
                        records.push_back("file " + path + " " + std::to_string(event.size) +
                                          (event.hasTime ? " timed" : ""));
                        break;
                    case stream::StreamEvent::content:
                        hash.update(event.data.data(), event.data.size());
                        break;
                    case stream::StreamEvent::fileEnd: {
                        const std::string digits = hash.finish();
                        records.push_back(event.status == stream::FileStatus::ok &&
                                                  std::vector<uint8_t>(event.data.begin(), event.data.end()) ==
                                                      digestOf(digits)
                                              ? "digest ok"
                                              : "digest bad");
                        break;
                    }
                    case stream::StreamEvent::folder:
                        records.push_back("folder " + path);
                        break;
                    case stream::StreamEvent::end:
                        records.push_back("end " + std::to_string(event.files) + " " +
                                          std::to_string(event.folders) + " " + std::to_string(event.bytes));
                        break;
                    default:
                        records.push_back(std::string("error ") + event.reason);
                }
            }
            reader.giveBack(block->buffer);
        }
        EXPECT_TRUE(last);
        EXPECT_EQ(decoder.finish().kind, stream::StreamEvent::more);
        return records;
    }

    fs::path dir_;
};

TEST_F(SendingTest, ATreeDecodesIntoItsFilesFoldersTimesAndDigests) {
    tree();
    write("top", 5);
    const std::vector<std::string> expected{
        "header 4 9006", "file t/a 0 timed", "digest ok",      "file t/b 9000 timed",
        "digest ok",     "folder t/empty",   "folder t/links", "file t/sub/c 1 timed",
        "digest ok",     "file top 5 timed", "digest ok",      "end 4 2 9006"};
    // A stream of many blocks, and one that fits a single block.
    for (const Checksum checksum : {Checksum::xxh128, Checksum::sha256}) {
        for (const uint32_t blockSize : {4096u, 1u << 20}) {
            EXPECT_EQ(packed({at("t"), at("top")}, checksum, blockSize), expected) << blockSize;
        }
    }
}

TEST_F(SendingTest, TheCheckCountsAndFindsWhatTheReceiverWouldRefuse) {
    tree();
    write("x/d/f", 1);
    write("y/d/f", 2);
    write("y/d/g", 3);
    write("z/d", 4);
#ifndef _WIN32
    write("w/a:b", 4);
#endif
    const Collection good({at("t"), at("x/d")});
    EXPECT_TRUE(good.problems.empty());
    EXPECT_EQ(good.files, 4u);
    EXPECT_EQ(good.folders, 2u);
    EXPECT_EQ(good.bytes, 9002u);
    // Two folders of one name whose files would meet, a file whose name the
    // folders need, and a name that a Windows receiver cannot store.
#ifdef _WIN32
    const bool colon = false;  // Windows makes no file of that name
#else
    const bool colon = true;
#endif
    std::vector<std::string> paths{at("x/d"), at("y/d"), at("z/d")};
    if (colon) paths.push_back(at("w"));
    const Collection clashing(paths);
    ASSERT_EQ(clashing.problems.size(), colon ? 3u : 2u);
    if (colon) EXPECT_NE(clashing.problems[0].find("a:b"), std::string::npos);
    EXPECT_NE(clashing.problems[colon ? 1 : 0].find("would both arrive as d/f"), std::string::npos);
    EXPECT_NE(clashing.problems[colon ? 2 : 1].find("which"), std::string::npos);
}

TEST_F(SendingTest, WhatChangedAfterTheCheckIsSkippedOrSentByItsName) {
    write("t/a", 3);
    write("t/b", 3);
    const std::vector<std::string> arguments{at("t")};
    const Collection collection(arguments);
    fs::remove(dir_ / "t/a");
    write("t/c", 2);
#ifdef _WIN32
    const size_t odd = 0;  // Windows makes no file of that name
#else
    const size_t odd = 1;
    write("t/d:e", 1);
#endif
    std::error_code error;  // said, never followed, where the system makes links
    fs::create_symlink(dir_ / "t/b", dir_ / "t/f", error);
    std::vector<std::vector<uint8_t>> buffers(2, std::vector<uint8_t>(4096));
    Reader reader(arguments, buffers, Checksum::xxh128, collection.files, collection.bytes);
    uint64_t found = 0;
    std::vector<std::string> messages;
    std::vector<std::string> notes;
    while (std::optional<StreamBlock> block = reader.next()) {
        found += block->found;
        notes.insert(notes.end(), block->notes.begin(), block->notes.end());
        messages.insert(messages.end(), block->withdrawn.begin(), block->withdrawn.end());
        reader.giveBack(block->buffer);
    }
    EXPECT_EQ(found, 2u + odd);  // b, c and d:e; a is gone
    ASSERT_EQ(messages.size(), odd);
    if (odd) EXPECT_NE(messages[0].find("d:e, which appeared after the check"), std::string::npos);
    EXPECT_EQ(notes.size(), error ? 0u : 1u);
}

}  // namespace
}  // namespace dyad
