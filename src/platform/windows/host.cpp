// The process, its environment and the computer's name.
#include "platform/windows/win32.h"

#include <cstring>

namespace dyadc::platform {

namespace {

// The low 32 bits of a process's creation time in milliseconds (wrapping
// every 49 days), or false when it cannot be read.
bool startStamp(HANDLE process, uint32_t* stamp) {
    FILETIME created{}, exited{}, kernel{}, user{};
    if (GetProcessTimes(process, &created, &exited, &kernel, &user) == 0) return false;
    const uint64_t ticks = (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
    *stamp = static_cast<uint32_t>(ticks / 10000);
    return true;
}

ProcessIdentity identityOf(int32_t processId, uint32_t stamp) {
    return (static_cast<uint64_t>(static_cast<uint32_t>(processId)) << 32) | stamp;
}

}  // namespace

int32_t currentProcessId() {
    return static_cast<int32_t>(GetCurrentProcessId());
}

ProcessIdentity currentProcess() {
    static const ProcessIdentity identity = [] {
        uint32_t stamp = 0;
        (void)startStamp(GetCurrentProcess(), &stamp);  // a process can always read its own times
        return identityOf(currentProcessId(), stamp);
    }();
    return identity;
}

ProcessIdentity processIdentityOf(int32_t processId) {
    if (processId <= 0) return 0;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(processId));
    if (process == nullptr) return 0;
    uint32_t stamp = 0;
    const bool read = startStamp(process, &stamp);
    CloseHandle(process);
    return read ? identityOf(processId, stamp) : 0;
}

bool processAlive(ProcessIdentity identity) {
    const int32_t processId = processIdOf(identity);
    if (processId <= 0) return false;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE,
                                 static_cast<DWORD>(processId));
    // A process that exists but may not be opened is still alive.
    if (process == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
    DWORD code = 0;
    bool alive = GetExitCodeProcess(process, &code) != 0 && code == STILL_ACTIVE;
    // A process can also have ended with the code that means "still active".
    if (alive) alive = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    // Windows gives the ids of ended processes to new ones soon: one that
    // started at another time is not the process that the Session recorded.
    uint32_t stamp = 0;
    if (alive && startStamp(process, &stamp)) alive = stamp == static_cast<uint32_t>(identity);
    CloseHandle(process);
    return alive;
}

bool environmentDefined(const char* name) {
    char value[1];
    SetLastError(ERROR_SUCCESS);
    if (GetEnvironmentVariableA(name, value, sizeof value) != 0) return true;
    // 0 is also the length of a variable defined as empty.
    return GetLastError() != ERROR_ENVVAR_NOT_FOUND;
}

int computerName(char* buffer, uint32_t size) {
    if (size == 0) return -1;
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD length = sizeof name;
    if (GetComputerNameA(name, &length) == 0) {
        buffer[0] = '\0';
        return -1;
    }
    if (length > size - 1) length = size - 1;
    std::memcpy(buffer, name, length);
    buffer[length] = '\0';
    return 0;
}

}  // namespace dyadc::platform
