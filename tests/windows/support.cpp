// The test support that the portable in-process tests use, for Windows: a
// fresh Session, a log that a test reads back, and file helpers (the Linux
// build has them in tests/support/, with the simulated LAN they sit beside).
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "dyadc.h"
#include "frame/session.h"
#include "platform/windows/win32.h"
#include "tests/support/fixtures.h"

namespace dyadc::test {

namespace fs = std::filesystem;

void freshSession() {
    applySharedInitialValues(sharedSession());
    applyProcessInitialValues(processSession());
}

LogCapture::LogCapture() {
    static std::atomic<int> made{0};
    dir_ = (fs::temp_directory_path() /
            ("dyadc-testlog-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++made)))
               .string();
    std::error_code error;
    fs::remove_all(dir_, error);
    if (!fs::create_directory(dir_, error)) ADD_FAILURE() << "cannot make " << dir_;
    path_ = dir_ + "\\test.log";
    DyadSetLog(path_.c_str(), 0, 2);
}

LogCapture::~LogCapture() {
    DyadSetLog(platform::defaultLogPath, 0, 0);
    std::error_code error;
    fs::remove_all(dir_, error);
}

bool LogCapture::hasPrefix(const std::string& prefix) const {
    for (const std::string& line : messages()) {
        if (line.rfind(prefix, 0) == 0) return true;
    }
    return false;
}

int LogCapture::find(const std::string& message, int from) const {
    const auto all = messages();
    for (size_t i = static_cast<size_t>(from); i < all.size(); ++i) {
        if (all[i] == message) return static_cast<int>(i);
    }
    return -1;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

bool fileExists(const std::string& path) {
    std::error_code error;
    return fs::exists(path, error);
}

std::vector<std::string> logMessages(const std::string& path) {
    std::vector<std::string> messages;
    const std::string text = readFile(path);
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find("\r\n", at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        // "LOGGED:" + 18-character stamp + three spaces
        if (line.rfind("LOGGED:", 0) == 0 && line.size() >= 28) line = line.substr(28);
        messages.push_back(line);
        at = end + 2;
    }
    return messages;
}

bool logHas(const std::string& path, const std::string& message) {
    for (const std::string& line : logMessages(path)) {
        if (line == message) return true;
    }
    return false;
}

}  // namespace dyadc::test
