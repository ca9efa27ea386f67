// The receiver's part file (tools/transfer/part_file.h) on this system's
// files: it is removed whichever way it ends without its name, a commit
// included, and only placing keeps its bytes, under the name, and never over
// a file that exists. Built for Linux and for Windows (run under wine).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>

#include "tools/base/checksum.h"
#include "tools/transfer/part_file.h"

namespace dyad {
namespace {

class PartFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("dyad-part-test-" + std::to_string(std::random_device{}()));
        std::filesystem::create_directories(dir_);
        sys::Failure failure;
        ASSERT_TRUE(sys::Folder::openRoot(dir_, &root_, &failure)) << failure.reason;
    }
    void TearDown() override {
        root_ = sys::Folder();
        std::filesystem::remove_all(dir_);
    }

    // The names in the folder, sorted, a part file as "part".
    std::string names() const {
        std::set<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
            const std::string name = entry.path().filename().string();
            found.insert(name.size() > 10 && name.substr(name.size() - 10) == ".dyad-part" ? "part" : name);
        }
        std::string text;
        for (const std::string& name : found) text += (text.empty() ? "" : " ") + name;
        return text;
    }
    std::string read(const std::string& name) const {
        std::ifstream in(dir_ / name, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    // A part file of the file "a" with the bytes `bytes`, committed or not.
    void make(PartFile& part, const std::string& bytes, bool commit) {
        sys::Failure failure;
        ASSERT_TRUE(part.create(root_, "a", random_, &failure)) << failure.reason;
        ASSERT_TRUE(part.write(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &failure));
        if (commit) ASSERT_TRUE(part.commit(&failure)) << failure.reason;
        EXPECT_NE(names().find("part"), std::string::npos);
    }

    std::filesystem::path dir_;
    sys::Folder root_;
    std::mt19937 random_{7};
};

TEST_F(PartFileTest, EveryEndButItsNameRemovesIt) {
    for (const bool commit : {false, true}) {
        {
            PartFile part;
            make(part, "abc", commit);
        }
        EXPECT_EQ(names(), "") << "destroyed, committed: " << commit;
        PartFile part;
        make(part, "abc", commit);
        part.discard();
        EXPECT_FALSE(part.exists());
        EXPECT_EQ(names(), "") << "discarded, committed: " << commit;
    }
}

TEST_F(PartFileTest, PlacingNamesItOnlyWhereNothingIs) {
    sys::Failure failure;
    PartFile part;
    make(part, "abc", true);
    std::string digits;
    EXPECT_FALSE(part.hash(Checksum::xxh128, 4, &digits)) << "a part file shorter than it should be";
    ASSERT_TRUE(part.hash(Checksum::xxh128, 3, &digits));
    FileHash hash(Checksum::xxh128);
    hash.update(reinterpret_cast<const uint8_t*>("abc"), 3);
    EXPECT_EQ(digits, hash.finish());
    EXPECT_EQ(part.place("a", false, &failure), sys::Placed::placed) << failure.reason;
    EXPECT_EQ(names(), "a");
    EXPECT_EQ(read("a"), "abc");

    make(part, "new", true);
    EXPECT_EQ(part.place("a", false, &failure), sys::Placed::exists);
    EXPECT_EQ(names(), "a") << "the part file that did not get its name is gone";
    EXPECT_EQ(read("a"), "abc");
    make(part, "new", true);
    EXPECT_EQ(part.place("a", true, &failure), sys::Placed::placed) << failure.reason;
    EXPECT_EQ(read("a"), "new");
}

}  // namespace
}  // namespace dyad
