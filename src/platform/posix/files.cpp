// The system directory and file creation with owner-only permissions.
//
// The system directory is where the installed library file lives and where a
// received library update is stored: DYADC_SYSTEM_DIR when it is set,
// otherwise the directory of the loaded libdyadc.so itself.
#include "platform/platform.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace dyadc::platform {
namespace {

// Any function of the library serves to find the file it was loaded from.
void locateLibrary() {}

}  // namespace

const char pathSeparator = '/';
const char* const installedLibraryName = "libdyadc.so";
const char* const defaultLogPath = "/tmp/dyadc.log";

uint32_t systemDirectory(char* buffer, uint32_t size) {
    if (buffer == nullptr) size = 0;
    if (size > 0) buffer[0] = '\0';
    const char* source = std::getenv("DYADC_SYSTEM_DIR");
    size_t length = 0;
    Dl_info info{};
    if (source != nullptr && source[0] != '\0') {
        length = std::strlen(source);
    } else if (dladdr(reinterpret_cast<void*>(&locateLibrary), &info) != 0 && info.dli_fname != nullptr) {
        source = info.dli_fname;
        const char* slash = std::strrchr(source, '/');
        if (slash == nullptr) {
            source = ".";
            length = 1;
        } else {
            length = slash == source ? 1 : static_cast<size_t>(slash - source);
        }
    } else {
        return 0;
    }
    // A trailing separator would double up when a file name is joined on.
    while (length > 1 && source[length - 1] == '/') --length;
    if (buffer == nullptr || length + 1 > size) return static_cast<uint32_t>(length + 1);
    std::memcpy(buffer, source, length);
    buffer[length] = '\0';
    return static_cast<uint32_t>(length);
}

std::FILE* createPrivateFile(const char* path) {
    int handle = ::open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (handle < 0) return nullptr;
    std::FILE* file = ::fdopen(handle, "w+b");
    if (file == nullptr) ::close(handle);
    return file;
}

std::FILE* createStoredFile(const char* path) {
    int handle = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (handle < 0) return nullptr;
    std::FILE* file = ::fdopen(handle, "wb");
    if (file == nullptr) ::close(handle);
    return file;
}

int replaceFile(const char* from, const char* to) {
    return std::rename(from, to) == 0 ? 0 : -1;
}

}  // namespace dyadc::platform
