// Test support: whole files and the diagnostic log's lines, on every
// platform the tests build for.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/lan.h"

namespace dyadc::test {

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
    std::error_code ignored;
    return std::filesystem::exists(path, ignored);
}

int64_t modifiedNanoseconds(const std::string& path) {
    std::error_code error;
    const auto time = std::filesystem::last_write_time(path, error);
    if (error) return -1;
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::file_clock::to_sys(time).time_since_epoch())
        .count();
}

void setModifiedNanoseconds(const std::string& path, int64_t nanoseconds) {
    const std::chrono::sys_time<std::chrono::nanoseconds> time{std::chrono::nanoseconds(nanoseconds)};
    std::filesystem::last_write_time(path, std::chrono::file_clock::from_sys(time));
}

std::vector<std::string> logMessages(const std::string& path) {
    std::vector<std::string> messages;
    std::string text = readFile(path);
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

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool waitForLog(const std::string& path, const std::string& message, std::chrono::seconds limit, size_t times) {
    return waitUntil(
        [&] {
            size_t seen = 0;
            for (const std::string& line : logMessages(path)) seen += line == message ? 1 : 0;
            return seen >= times;
        },
        limit);
}

}  // namespace dyadc::test
