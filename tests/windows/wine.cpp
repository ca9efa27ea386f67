// Windows workstations for the tests, through tests/windows/prefix.
#include "tests/windows/wine.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

namespace dyadc::test {
namespace {

const std::string prefixTool = DYADC_TEST_PREFIX_TOOL;

std::string windowsBuild(Windows kind) {
#ifdef DYADC_TEST_WINDOWS_X86_BUILD
    if (kind == Windows::x86) return DYADC_TEST_WINDOWS_X86_BUILD;
#else
    if (kind == Windows::x86) ADD_FAILURE() << "this build names no 32-bit Windows build";
#endif
    return DYADC_TEST_WINDOWS_BUILD;
}

// Runs a command outside the workstations and returns its first output line.
std::string firstLineOf(const std::vector<std::string>& argv) {
    std::string command;
    for (const std::string& word : argv) command += "'" + word + "' ";
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return "";
    char line[4096] = {};
    if (std::fgets(line, sizeof line, pipe) == nullptr) line[0] = '\0';
    const int status = pclose(pipe);
    line[std::strcspn(line, "\n")] = '\0';
    return status == 0 ? line : "";
}

}  // namespace

std::string windowsProgram(const std::string& name, Windows kind) {
    return windowsBuild(kind) + "/bin/" + name + ".exe";
}
std::string windowsLibrary(Windows kind) {
    return windowsBuild(kind) + "/dyadc.dll";
}

std::string windowsLibraryWithVersion(uint32_t major, uint32_t minor, Windows kind) {
    std::string bytes = readFile(windowsLibrary(kind));
    // The fixed version record starts with its signature and structure
    // version 1.0 (the signature alone also stands in the code that checks
    // it); the file and the product version follow as most and least
    // significant halves.
    const uint32_t start[2] = {0xFEEF04BD, 0x00010000};
    const size_t at = bytes.find(std::string(reinterpret_cast<const char*>(start), sizeof start));
    if (at == std::string::npos || at + 24 > bytes.size()) {
        ADD_FAILURE() << "the built dyadc.dll has no version record";
        return bytes;
    }
    for (size_t half : {8u, 16u}) {
        std::memcpy(&bytes[at + half], &major, 4);
        std::memcpy(&bytes[at + half + 4], &minor, 4);
    }
    return bytes;
}

WineStation::WineStation(const Lan& lan, int host, Windows kind) : lan_(lan), host_(host), kind_(kind) {
    const std::string name = std::to_string(getpid()) + "-" + lan.name() + "-h" + std::to_string(host);
    prefix_ = firstLineOf({prefixTool, "clone", windowsBuild(kind), name});
    if (prefix_.empty()) {
        ADD_FAILURE() << "no wine prefix for workstation " << host;
        return;
    }
    std::string output;
    ok_ = lan.run(host, {prefixTool, "start", prefix_}, {}, &output) == 0;
    if (!ok_) ADD_FAILURE() << "wine did not start in workstation " << host << ":\n" << output;
}

WineStation::~WineStation() {
    if (prefix_.empty()) return;
    std::string output;
    if (lan_.run(host_, {prefixTool, "stop", prefix_}, {}, &output) != 0) {
        ADD_FAILURE() << "wine did not stop in workstation " << host_ << ":\n" << output;
    }
    std::error_code ignored;
    std::filesystem::remove_all(prefix_, ignored);
}

Child WineStation::spawn(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                         const std::string& directory, bool terminal) const {
    // A wine program's current directory is the one it starts in.
    std::vector<std::string> full{"/usr/bin/env", "-C",   directory.empty() ? "." : directory,
                                  prefixTool,     "exec", prefix_};
    full.insert(full.end(), argv.begin(), argv.end());
    if (!terminal) return lan_.spawn(host_, full, environment);
    std::string command;
    for (const std::string& word : full) {
        command += "'";
        for (char c : word) command += c == '\'' ? std::string("'\\''") : std::string(1, c);
        command += "' ";
    }
    return lan_.spawn(host_, {"script", "-qfec", command, "/dev/null"}, environment);
}

}  // namespace dyadc::test
