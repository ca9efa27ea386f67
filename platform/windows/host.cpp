// The process, its environment and the computer's name.
#include "platform/windows/win32.h"

#include <cstring>

namespace dyadc::platform {

int32_t currentProcessId() {
    return static_cast<int32_t>(GetCurrentProcessId());
}

bool processAlive(int32_t processId) {
    if (processId <= 0) return false;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE,
                                 static_cast<DWORD>(processId));
    // A process that exists but may not be opened is still alive.
    if (process == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
    DWORD code = 0;
    bool alive = GetExitCodeProcess(process, &code) != 0 && code == STILL_ACTIVE;
    // A process can also have ended with the code that means "still active".
    if (alive) alive = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
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
