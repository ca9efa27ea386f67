// Windows implementation of tools/system.h.
// clang-format off
#include <windows.h>
#include <fcntl.h>
#include <io.h>
// clang-format on

#include <atomic>
#include <cstdio>
#include <cstring>

#include "tools/system.h"

namespace dyad::sys {
namespace {

char interruptedPart[MAX_PATH * 4];
std::atomic<bool> interruptedPartSet{false};

// Runs on a thread of its own when Ctrl-C, Ctrl-Break or closing the console
// ends the program. The part file was opened for sharing its deletion, so it
// goes when the program's handles close.
BOOL WINAPI onInterrupt(DWORD) {
    if (interruptedPartSet.load()) DeleteFileA(interruptedPart);
    return FALSE;  // the default handler ends the program
}

}  // namespace

bool isTerminal(std::FILE* stream) {
    return _isatty(_fileno(stream)) != 0;
}

std::FILE* createNew(const std::string& path) {
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        DeleteFileA(path.c_str());
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, "wb");
    if (file == nullptr) {
        _close(fd);
        DeleteFileA(path.c_str());
        return nullptr;
    }
    std::setvbuf(file, nullptr, _IONBF, 0);  // blocks are written whole
    return file;
}

void removeOnInterrupt(const std::string& path) {
    static const bool installed = SetConsoleCtrlHandler(onInterrupt, TRUE) != 0;
    (void)installed;
    interruptedPartSet = false;
    if (path.empty() || path.size() >= sizeof interruptedPart) return;
    std::memcpy(interruptedPart, path.c_str(), path.size() + 1);
    interruptedPartSet = true;
}

Placed place(const std::string& from, const std::string& to, bool replace) {
    if (MoveFileExA(from.c_str(), to.c_str(), replace ? MOVEFILE_REPLACE_EXISTING : 0)) return Placed::placed;
    const DWORD error = GetLastError();
    if (!replace && (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)) return Placed::exists;
    return Placed::failed;
}

}  // namespace dyad::sys
