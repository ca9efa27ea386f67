// The system directory and file creation.
//
// The system directory is the one GetSystemDirectoryA names: the installed
// dyadc.dll is looked for there, and a received library update is stored
// there.
#include "platform/windows/win32.h"

#include <fcntl.h>
#include <io.h>
#include <sddl.h>

#include <cstdio>
#include <cstring>

namespace dyadc::platform {
namespace {

// A security descriptor that gives the calling process's user, and nobody
// else, full access. False when the user cannot be found.
bool ownerOnly(char* descriptor, size_t size) {
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) == 0) return false;
    alignas(TOKEN_USER) unsigned char buffer[256];
    DWORD length = 0;
    const bool found = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &length) != 0;
    CloseHandle(token);
    char* sid = nullptr;
    if (!found || ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid) == 0) return false;
    const int written = std::snprintf(descriptor, size, "D:P(A;;FA;;;%s)", sid);
    LocalFree(sid);
    return written > 0 && static_cast<size_t>(written) < size;
}

// A C stream over a file handle; closes the handle when that fails.
std::FILE* streamOf(HANDLE file, int mode, const char* streamMode) {
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file), mode | _O_BINARY);
    if (descriptor < 0) {
        CloseHandle(file);
        return nullptr;
    }
    std::FILE* stream = _fdopen(descriptor, streamMode);
    if (stream == nullptr) _close(descriptor);
    return stream;
}

}  // namespace

const char pathSeparator = '\\';
const char* const installedLibraryName = "dyadc.dll";
const char* const defaultLogPath = "c:\\dyadc.log";

uint32_t systemDirectory(char* buffer, uint32_t size) {
    if (buffer == nullptr) size = 0;
    // Given too little room, the call returns the size it needs.
    const UINT length = GetSystemDirectoryA(size > 0 ? buffer : nullptr, size);
    if (size > 0 && (length == 0 || length >= size)) buffer[0] = '\0';
    return length;
}

std::FILE* createPrivateFile(const char* path) {
    // Full access for this process's user and nobody else; the folder's
    // own rules when the user cannot be named.
    char text[256];
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
    if (ownerOnly(text, sizeof text) &&
        ConvertStringSecurityDescriptorToSecurityDescriptorA(text, SDDL_REVISION_1, &descriptor, nullptr) != 0) {
        attributes.lpSecurityDescriptor = descriptor;
    }
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, &attributes, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (descriptor != nullptr) LocalFree(descriptor);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    return streamOf(file, _O_RDWR, "w+b");
}

std::FILE* createStoredFile(const char* path) {
    // Opened without following a link in its place, which is refused; a
    // plain file found there is cut to nothing.
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    BY_HANDLE_FILE_INFORMATION information{};
    if (GetFileInformationByHandle(file, &information) == 0 ||
        (information.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
        SetEndOfFile(file) == 0) {
        CloseHandle(file);
        return nullptr;
    }
    return streamOf(file, _O_WRONLY, "wb");
}

int replaceFile(const char* from, const char* to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0 ? 0 : -1;
}

}  // namespace dyadc::platform
