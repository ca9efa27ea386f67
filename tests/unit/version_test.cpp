// The version record of a library file and the version text made from it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "api/entry.h"
#include "platform/posix/posix.h"
#include "session/session.h"
#include "tests/support/lan.h"

namespace dyadc {
namespace {

using test::readFile;
using test::writeFile;

// A copy of the built library whose record says major.minor.
std::string patchedLibrary(const std::string& dir, uint32_t major, uint32_t minor) {
    std::string bytes = readFile(test::libraryPath());
    platform::VersionRecord record{};
    long offset = 0;
    EXPECT_EQ(platform::parseVersionRecord(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &record,
                                           &offset),
              0);
    std::memcpy(&bytes[static_cast<size_t>(offset) + 8], &major, 4);
    std::memcpy(&bytes[static_cast<size_t>(offset) + 12], &minor, 4);
    std::string path = dir + "/libdyadc.so";
    writeFile(path, bytes);
    return path;
}

class Version : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/dyadc-version-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        unsetenv("DYADC_SYSTEM_DIR");
        std::string command = "rm -rf '" + dir + "'";
        ASSERT_EQ(system(command.c_str()), 0);
    }
    std::string dir;
};

TEST_F(Version, TheBuiltLibraryCarriesItsVersion) {
    platform::VersionRecord record{};
    ASSERT_EQ(platform::readVersionRecord(test::libraryPath().c_str(), &record), 0);
    EXPECT_EQ(record.fileVersionMost, 2u);
    EXPECT_EQ(record.fileVersionLeast, 4u);
    EXPECT_EQ(record.productVersionMost, 2u);
    EXPECT_EQ(record.productVersionLeast, 4u);
}

TEST_F(Version, TextIsMajorPointTwoDigitMinor) {
    char text[15];
    formatVersionText(2, 4, text, sizeof text);
    EXPECT_STREQ(text, "2.04");
    formatVersionText(2, 10, text, sizeof text);
    EXPECT_STREQ(text, "2.10");
    formatVersionText(3, 0, text, sizeof text);
    EXPECT_STREQ(text, "3.00");
    formatVersionText(4000000000u, 4000000000u, text, sizeof text);  // never overruns
    EXPECT_LT(std::strlen(text), sizeof text);
}

TEST_F(Version, LoadReadsTheInstalledFileInTheSystemDirectory) {
    ProcessSession& p = processSession();
    setenv("DYADC_SYSTEM_DIR", dir.c_str(), 1);
    patchedLibrary(dir, 3, 0);
    p.versionText[0] = '\0';
    onProcessAttach();
    EXPECT_STREQ(p.versionText, "3.00");

    patchedLibrary(dir, 2, 10);
    onProcessAttach();
    EXPECT_STREQ(p.versionText, "2.10");

    // Not an ELF file, or one without the record: no version.
    writeFile(dir + "/libdyadc.so", "just text, no library");
    p.versionText[0] = '\0';
    onProcessAttach();
    EXPECT_STREQ(p.versionText, "");
    writeFile(dir + "/libdyadc.so", readFile("/proc/self/exe"));
    onProcessAttach();
    EXPECT_STREQ(p.versionText, "");
    unlink((dir + "/libdyadc.so").c_str());
    onProcessAttach();
    EXPECT_STREQ(p.versionText, "");

    // A system directory too long for its buffer is never used cut short.
    std::string deep = "/" + std::string(300, 'd');
    setenv("DYADC_SYSTEM_DIR", deep.c_str(), 1);
    onProcessAttach();
    EXPECT_STREQ(p.versionText, "");
}

TEST_F(Version, DamagedFilesHaveNoRecord) {
    std::string bytes = readFile(test::libraryPath());
    platform::VersionRecord record{};
    // Every truncation of the headers, and damaged section tables.
    for (size_t length : {0ul, 4ul, 16ul, 63ul, 64ul, 200ul, 1000ul}) {
        EXPECT_EQ(
            platform::parseVersionRecord(reinterpret_cast<const uint8_t*>(bytes.data()), length, &record, nullptr),
            -1)
            << length;
    }
    std::string damaged = bytes;
    damaged[0x28] = '\x7f';  // section header offset far outside the file
    damaged[0x2f] = '\x7f';
    EXPECT_EQ(platform::parseVersionRecord(reinterpret_cast<const uint8_t*>(damaged.data()), damaged.size(),
                                           &record, nullptr),
              -1);
}

}  // namespace
}  // namespace dyadc
