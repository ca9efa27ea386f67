// The process, its environment and the computer's name.
#include "platform/platform.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace dyadc::platform {

namespace {

// The process id, asked for on every use of the connection's owner mark: kept
// here instead of a system call each time, and renewed in a forked child.
pid_t cachedProcessId = 0;

void renewProcessId() {
    cachedProcessId = ::getpid();
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

bool processAlive(int32_t processId) {
    if (processId <= 0) return false;
    if (::kill(static_cast<pid_t>(processId), 0) == 0) return true;
    // EPERM: the process exists but belongs to someone else.
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
