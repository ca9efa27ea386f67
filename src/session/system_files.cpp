// Paths in the system directory.
#include "session/system_files.h"

#include <cstdio>

#include "platform/platform.h"

namespace dyadc {

bool systemFilePath(const char* fileName, char (&path)[systemPathSize]) {
    char directory[systemPathSize] = {};
    path[0] = '\0';
    const uint32_t length = platform::systemDirectory(directory, systemDirectorySize);
    if (length == 0 || length >= systemDirectorySize) return false;
    const int written = std::snprintf(path, sizeof path, "%s%c%s", directory, platform::pathSeparator, fileName);
    if (written > 0 && static_cast<size_t>(written) < sizeof path) return true;
    path[0] = '\0';
    return false;
}

}  // namespace dyadc
