// test-host: a host program for tests. It loads the real libdyadc.so and runs
// the steps given on its command line, one after the other, printing one line
// per step ("<step> <result>") and flushing it at once.
//
//   setlog PATH LIMIT LEVEL   DyadSetLog
//   hold                      wait until standard input closes
//   sleep SECONDS
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "dyadc.h"

namespace {

int argInt(char** argv, int& at, int argc) {
    if (at >= argc) {
        std::fprintf(stderr, "missing argument\n");
        std::exit(2);
    }
    return static_cast<int>(std::strtol(argv[at++], nullptr, 10));
}

const char* argText(char** argv, int& at, int argc) {
    if (at >= argc) {
        std::fprintf(stderr, "missing argument\n");
        std::exit(2);
    }
    return argv[at++];
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    int at = 1;
    while (at < argc) {
        std::string step = argv[at++];
        if (step == "setlog") {
            const char* path = argText(argv, at, argc);
            int limit = argInt(argv, at, argc);
            int level = argInt(argv, at, argc);
            std::printf("setlog %d\n", DyadSetLog(path, static_cast<uint32_t>(limit), level));
        } else if (step == "hold") {
            std::printf("holding\n");
            char c;
            while (read(0, &c, 1) > 0) {
            }
            std::printf("released\n");
        } else if (step == "sleep") {
            sleep(static_cast<unsigned>(argInt(argv, at, argc)));
        } else {
            std::fprintf(stderr, "unknown step %s\n", step.c_str());
            return 2;
        }
    }
    return 0;
}
