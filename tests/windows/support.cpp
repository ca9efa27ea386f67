// The test support that the portable in-process tests use, for Windows: a
// fresh Session and a log that a test reads back (the Linux build has them in
// tests/support/fixtures.cpp, beside the simulated LAN).
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

#include "dyadc.h"
#include "platform/windows/win32.h"
#include "session/session.h"
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

}  // namespace dyadc::test
