// The process, its environment and the computer's name.
#include "platform/posix/posix.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace dyadc::platform {

namespace {

// The process id, asked for on every use of the connection's marks: kept
// here instead of a system call each time, and renewed in a forked child.
pid_t cachedProcessId = 0;

void renewProcessId() {
    cachedProcessId = ::getpid();
}

// What /proc/PID/stat tells of a process: its state letter and its start
// time (clock ticks after boot). False when it cannot be read: no such
// process, or no /proc.
struct ProcessStat {
    char state = '?';
    uint64_t startTicks = 0;
};

bool readProcessStat(int32_t processId, ProcessStat* stat) {
    char path[40];
    (void)std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(processId));  // always fits
    const int file = ::open(path, O_RDONLY | O_CLOEXEC);
    if (file < 0) return false;
    char text[1024];
    const ssize_t length = ::read(file, text, sizeof text - 1);
    ::close(file);
    if (length <= 0) return false;
    text[length] = '\0';
    // The command name (field 2) is in parentheses and may hold anything,
    // parentheses and blanks too: the fields that follow start after the last
    // ')'. Field 3 is the state, field 22 the start time.
    const char* rest = std::strrchr(text, ')');
    if (rest == nullptr) return false;
    int field = 2;
    for (const char* c = rest + 1; *c != '\0'; ++c) {
        if (*c != ' ') continue;
        ++field;
        if (field == 3) {
            stat->state = c[1];
        } else if (field == 22) {
            stat->startTicks = std::strtoull(c + 1, nullptr, 10);
            return true;
        }
    }
    return false;
}

}  // namespace

int32_t currentProcessId() {
    if (cachedProcessId == 0) {
        renewProcessId();
        static const int registered = pthread_atfork(nullptr, nullptr, renewProcessId);
        (void)registered;
    }
    return static_cast<int32_t>(cachedProcessId);
}

ProcessIdentity identityWithoutPlace(int32_t processId) {
    ProcessStat stat;
    const uint64_t start = readProcessStat(processId, &stat) ? stat.startTicks : 0;
    return (static_cast<uint64_t>(static_cast<uint32_t>(processId)) << 32) |
           ((start & identityCountMask) << identityPlaceBits);
}

bool aliveWithoutPlace(ProcessIdentity process) {
    const int32_t id = processIdOf(process);
    if (id <= 0) return false;
    ProcessStat stat;
    if (readProcessStat(id, &stat)) {
        // A zombie (Z) or a process being torn down (X) has ended, though
        // its id is still taken until its parent waits for it.
        if (stat.state == 'Z' || stat.state == 'X') return false;
        return ((stat.startTicks & identityCountMask) << identityPlaceBits) == (process & 0xFFFFFFFFu);
    }
    // No /proc to ask: the id alone must do. EPERM: the process exists but
    // belongs to someone else.
    if (::kill(static_cast<pid_t>(id), 0) == 0) return true;
    return errno != ESRCH;
}

bool environmentDefined(const char* name) {
    return std::getenv(name) != nullptr;
}

int computerName(char* buffer, uint32_t size) {
    if (size == 0) return -1;
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) {
        buffer[0] = '\0';
        return -1;
    }
    size_t length = std::strlen(name);
    if (length > size - 1) length = size - 1;
    std::memcpy(buffer, name, length);
    buffer[length] = '\0';
    return 0;
}

}  // namespace dyadc::platform
