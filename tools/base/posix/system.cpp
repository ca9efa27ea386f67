// Linux implementation of tools/base/system.h, but for the files (files.cpp).
#include <unistd.h>

#include <cstdio>

#include "tools/base/system.h"

namespace dyad::sys {

std::vector<std::string> arguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

std::filesystem::path toPath(const std::string& text) {
    return text;
}

std::string toText(const std::filesystem::path& path) {
    return path.string();
}

bool isTerminal(std::FILE* stream) {
    return isatty(fileno(stream)) == 1;
}

void prepareConsole() {}

bool pathTooLong(const std::filesystem::path&) {
    return false;
}

}  // namespace dyad::sys
