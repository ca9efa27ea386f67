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

TEST_F(Version, OnlyALibraryOfThisSystemIsOne) {
    const std::string library = readFile(test::libraryPath());
    // The built library with the bytes at `at` replaced.
    auto patched = [&library](size_t at, std::string bytes) {
        return library.substr(0, at) + bytes + library.substr(at + bytes.size());
    };
    std::string machine(2, '\0');
    std::memcpy(machine.data(), &library[18], 2);
    machine[0] = static_cast<char>(machine[0] ^ 0x40);
    const struct {
        const char* what;
        std::string bytes;
        const char* why;  // nullptr: a library of this system
    } files[] = {
        {"the built library", library, nullptr},
        {"the library with more after it", library + std::string(4096, 'x'), nullptr},
        {"another machine's", patched(18, machine), "an ELF file for another machine"},
        {"another word size's", patched(4, library[4] == 2 ? "\x01" : "\x02"),
         "an ELF file of another word size or byte order"},
        {"another byte order's", patched(5, library[5] == 1 ? "\x02" : "\x01"),
         "an ELF file of another word size or byte order"},
        {"a program at a fixed address", patched(16, std::string("\x02\0", 2)), "a program, not a library"},
        {"an object file", patched(16, std::string("\x01\0", 2)), "an ELF file that is no shared library"},
        {"a position-independent program", readFile("/proc/self/exe"), "a program, not a library"},
        {"a header alone", library.substr(0, 64), "a cut ELF file"},
        {"a Windows DLL", "MZ\x90\0\x03\0\0\0PE\0\0", "not an ELF file"},
        {"text", "abcd", "not an ELF file"},
        {"nothing", "", "not an ELF file"},
    };
    for (const auto& file : files) {
        writeFile(dir + "/dyadc.dl_", file.bytes);
        const char* why = platform::libraryMismatch((dir + "/dyadc.dl_").c_str());
        EXPECT_STREQ(why, file.why) << file.what;
    }
    EXPECT_STREQ(platform::libraryMismatch((dir + "/none").c_str()), "a file that cannot be read");
}

}  // namespace
}  // namespace dyadc
