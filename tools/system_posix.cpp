// Linux implementation of tools/system.h.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "tools/system.h"

namespace dyad::sys {
namespace {

// The part file to remove, for the signal handler: a fixed buffer, and a flag
// that is clear while the buffer changes.
char interruptedPart[4096];
std::atomic<bool> interruptedPartSet{false};

extern "C" void onInterrupt(int number) {
    if (interruptedPartSet.load()) unlink(interruptedPart);
    signal(number, SIG_DFL);
    raise(number);
}

}  // namespace

void removeOnInterrupt(const std::string& path) {
    static const bool installed = [] {
        struct sigaction action {};
        action.sa_handler = onInterrupt;
        sigemptyset(&action.sa_mask);
        for (int number : {SIGINT, SIGTERM, SIGHUP}) sigaction(number, &action, nullptr);
        return true;
    }();
    (void)installed;
    interruptedPartSet = false;
    if (path.empty() || path.size() >= sizeof interruptedPart) return;
    std::memcpy(interruptedPart, path.c_str(), path.size() + 1);
    interruptedPartSet = true;
}

bool isTerminal(std::FILE* stream) {
    return isatty(fileno(stream)) == 1;
}

std::FILE* createNew(const std::string& path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    std::FILE* file = fdopen(fd, "wb");
    if (file == nullptr) {
        close(fd);
        unlink(path.c_str());
        return nullptr;
    }
    std::setvbuf(file, nullptr, _IONBF, 0);  // blocks are written whole
    return file;
}

Placed place(const std::string& from, const std::string& to, bool replace) {
    if (replace) return std::rename(from.c_str(), to.c_str()) == 0 ? Placed::placed : Placed::failed;
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return Placed::placed;
    if (errno == EEXIST) return Placed::exists;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return Placed::failed;
    // A file system without the no-replace rename: a hard link fails just as
    // surely when the name is taken.
    if (link(from.c_str(), to.c_str()) == 0) {
        unlink(from.c_str());
        return Placed::placed;
    }
    return errno == EEXIST ? Placed::exists : Placed::failed;
}

}  // namespace dyad::sys
