// The log line format, its limits, DyadSetLog and trimming.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>

#include "api/entry.h"
#include "dyadc.h"
#include "log/log.h"
#include "tests/support/lan.h"
#include "tests/support/results.h"

namespace dyadc {
namespace {

using test::readFile;
using test::writeFile;

class Log : public testing::Test {
protected:
    void SetUp() override {
        // A folder of this process's own, on every platform.
        static int made = 0;
        dir = (std::filesystem::temp_directory_path() /
               ("dyadc-log-" + std::to_string(platform::currentProcessId()) + "-" + std::to_string(++made)))
                  .string();
        std::filesystem::remove_all(dir);
        ASSERT_TRUE(std::filesystem::create_directory(dir));
        path = dir + "/test.log";
        applyProcessInitialValues(processSession());
    }
    void TearDown() override {
        applyProcessInitialValues(processSession());
        std::filesystem::remove_all(dir);
    }
    std::string dir, path;
};

TEST_F(Log, LineIsStampThenMessageEndedByCrLf) {
    DyadSetLog(path.c_str(), 0, 2);
    writeLog("hello %d", 5);
    LOG_BASIC("basic %s", "line");
    LOG_DETAIL("two\nlines");
    std::string text = readFile(path);
    std::regex line("LOGGED:[0-9]{8} [0-9]{2}:[0-9]{2}:[0-9]{2}    (.*)\r\n");
    std::smatch match;
    std::string first = text.substr(0, text.find("\r\n") + 2);
    ASSERT_TRUE(std::regex_match(first, match, line)) << first;
    EXPECT_EQ(match[1], "hello 5");
    EXPECT_EQ(first.size(), 7 + 18 + 3 + 7 + 2u);
    EXPECT_NE(text.find("    basic line\r\n"), std::string::npos);
    // A message with a line end runs over two lines of the file.
    EXPECT_NE(text.find("    two\nlines\r\n"), std::string::npos);
}

TEST_F(Log, LevelsSelectWhatIsWrittenAndOtherLevelsKeepTheFlags) {
    DyadSetLog(path.c_str(), 10, 1);
    LOG_BASIC("basic");
    LOG_DETAIL("detail");
    EXPECT_EQ(test::logMessages(path), std::vector<std::string>{"basic"});

    DyadSetLog("/elsewhere.log", 77, 3);
    EXPECT_STREQ(processSession().logPath, "/elsewhere.log");
    EXPECT_EQ(processSession().logSizeLimit, 77u);
    EXPECT_EQ(processSession().logEnabled, 1);
    EXPECT_EQ(processSession().logDetail, 0);
    DyadSetLog(path.c_str(), 5, -1);
    EXPECT_EQ(processSession().logEnabled, 1);
    EXPECT_EQ(processSession().logDetail, 0);
    DyadSetLog(path.c_str(), 5, 0);
    EXPECT_EQ(processSession().logEnabled, 0);
    LOG_BASIC("not written");
    EXPECT_EQ(test::logMessages(path).size(), 1u);
}

TEST_F(Log, ForcedLogIgnoresTheHost) {
    processSession().logForced = 1;
    processSession().logEnabled = 1;
    processSession().logDetail = 1;
    EXPECT_EQ(DyadSetLog(path.c_str(), 3, 0), 0);
    EXPECT_STREQ(processSession().logPath, platform::defaultLogPath);
    EXPECT_EQ(processSession().logDetail, 1);
}

TEST_F(Log, OverlongMessagesAndPathsNeverOverrun) {
    DyadSetLog(path.c_str(), 0, 2);
    std::string huge(5000, 'x');
    writeLog("%s", huge.c_str());
    auto messages = test::logMessages(path);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0] == std::string(799, 'x')) << "cut to 799 characters: " << messages[0].size();

    // A path that does not fit the 500-byte field is not taken.
    std::string longPath = "/tmp/" + std::string(600, 'p');
    DyadSetLog(longPath.c_str(), 1, 2);
    EXPECT_EQ(processSession().logPath, path);
    DyadSetLog(nullptr, 2, 2);
    EXPECT_EQ(processSession().logPath, path);
}

TEST_F(Log, UnwritablePlacesLoseLinesSilently) {
    DyadSetLog((dir + "/missing/dir/test.log").c_str(), 0, 2);
    writeLog("lost");
    EXPECT_FALSE(test::fileExists(dir + "/missing"));
    // A "directory" that is a file.
    writeFile(dir + "/file", "x");
    DyadSetLog((dir + "/file/test.log").c_str(), 0, 2);
    writeLog("lost too");
    EXPECT_EQ(trimLog((dir + "/file/test.log").c_str(), 0), -1);
}

// Trimming: the result begins right after the last CR LF at or before
// size - limit (offset 2 when there is none) and runs to the end.
TEST_F(Log, TrimKeepsTheNewestWholeLines) {
    const std::string lines = "first line\r\nsecond line\r\nthird\r\n";  // 33 bytes
    writeFile(path, lines);
    EXPECT_EQ(trimLog(path.c_str(), static_cast<uint32_t>(lines.size())), 0);
    EXPECT_EQ(readFile(path), lines) << "exactly the limit is left alone";

    EXPECT_EQ(trimLog(path.c_str(), static_cast<uint32_t>(lines.size() - 1)), 0);
    EXPECT_EQ(readFile(path), lines.substr(2)) << "one byte over trims (no line end at offset 1)";

    writeFile(path, lines);
    EXPECT_EQ(trimLog(path.c_str(), static_cast<uint32_t>(lines.size() - 10)), 0);
    EXPECT_EQ(readFile(path), "second line\r\nthird\r\n") << "a line end right at the cut";

    writeFile(path, lines);
    EXPECT_EQ(trimLog(path.c_str(), 7), 0);
    EXPECT_EQ(readFile(path), "third\r\n");

    writeFile(path, lines);
    EXPECT_EQ(trimLog(path.c_str(), 0), 0);
    EXPECT_EQ(readFile(path), "") << "limit 0 empties a log ending in CR LF";
    EXPECT_FALSE(test::fileExists(path + ".tmp"));

    writeFile(path, "abcdefghij");
    EXPECT_EQ(trimLog(path.c_str(), 3), 0);
    EXPECT_EQ(readFile(path), "cdefghij") << "no CR LF keeps from offset 2";

    // A CR LF at offset 0 is never examined.
    writeFile(path, "\r\nabcdef");
    EXPECT_EQ(trimLog(path.c_str(), 1), 0);
    EXPECT_EQ(readFile(path), "abcdef");
}

TEST_F(Log, TrimSearchesBackAcrossManyChunks) {
    std::string text = "head\r\n" + std::string(10000, 'z') + "\r\ntail\r\n";
    writeFile(path, text);
    EXPECT_EQ(trimLog(path.c_str(), 3), 0);
    EXPECT_EQ(readFile(path), "tail\r\n");
    writeFile(path, text);
    EXPECT_EQ(trimLog(path.c_str(), 9), 0);
    EXPECT_EQ(readFile(path), std::string(10000, 'z') + "\r\ntail\r\n");
}

TEST_F(Log, UnloadTrimsOnlyWithTheLogOn) {
    std::string big(1000, 'q');
    writeFile(path, "old\r\n" + big + "\r\n");
    DyadSetLog(path.c_str(), 10, 0);
    onProcessDetach();
    EXPECT_EQ(readFile(path).size(), 1007u);
    DyadSetLog(path.c_str(), 1000, 1);
    onProcessDetach();
    EXPECT_EQ(readFile(path), big + "\r\n");
}

}  // namespace
}  // namespace dyadc
