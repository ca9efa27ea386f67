// Linux implementation of tools/system.h.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "tools/system.h"

namespace dyad::sys {

bool isTerminal(std::FILE* stream) { return isatty(fileno(stream)) == 1; }

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
