// receiveLibraryUpdate: the Responder's side of the update. It stores the
// series under the block's first name in the system directory, but only a
// plain file name (the peer chose it), and writes only through a file that
// it opened for the series. A call that delivered bytes is told from one that
// read an empty or unknown line by a type value that no block carries.
#include <climits>
#include <cstdio>
#include <cstring>

#include "channel/blocks.h"
#include "dyadc.h"
#include "log/log.h"
#include "platform/platform.h"
#include "rendezvous/protocol.h"
#include "update/update.h"

namespace dyadc {
namespace {

constexpr uint32_t systemDirectorySize = 261;
constexpr size_t pathBufferSize = 264;
constexpr size_t nameBufferSize = 264;
// No block of the series carries this type: still there after a call that
// returned 0, it means that the call delivered no block.
constexpr int32_t noBlock = INT32_MIN;

// Ends the series: the file keeps what arrived, and the connection is closed
// so that the Initiator, which sends without a time limit, learns it at once.
int32_t endSeries(std::FILE*& file, int32_t result) {
    if (file != nullptr) std::fclose(file);
    file = nullptr;
    closeConnection();
    return result;
}

bool writeBytes(std::FILE* file, const uint8_t* bytes, int32_t length) {
    return length <= 0 || std::fwrite(bytes, 1, static_cast<size_t>(length), file) == static_cast<size_t>(length);
}

}  // namespace

bool acceptableUpdateName(const char* name) {
    const size_t length = std::strlen(name);
    if (length == 0 || length > 255) return false;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
    if (std::strpbrk(name, "/\\") != nullptr) return false;
    // The system directory is where the installed library lives: nothing
    // that the system or this library could load as a library is written there.
    if (std::strcmp(name, platform::installedLibraryName) == 0) return false;
    const char* so = std::strstr(name, ".so");
    while (so != nullptr) {
        if (so[3] == '\0' || so[3] == '.') return false;
        so = std::strstr(so + 1, ".so");
    }
    return true;
}

int32_t receiveLibraryUpdate() {
    char directory[pathBufferSize] = {};
    const uint32_t directoryLength = platform::systemDirectory(directory, systemDirectorySize);
    const bool haveDirectory = directoryLength > 0 && directoryLength < systemDirectorySize;

    char firstName[nameBufferSize];
    char secondName[nameBufferSize];
    uint8_t data[updateBlockSize];
    std::FILE* file = nullptr;
    for (;;) {
        int32_t length = 0;
        int32_t type = noBlock;
        const int32_t result =
            DyadRecvDataBlock(firstName, secondName, updateReceiveLimit, data, sizeof data, &length, &type, nullptr);
        if (result == quitCode) {
            if (file != nullptr) std::fclose(file);
            file = nullptr;
            closeConnection();
            return quitCode;
        }
        if (result == 100) {
            LOG_BASIC("Error:  Client nolonger connected.  Updated DLL NOT received.");
            return endSeries(file, 100);
        }
        if (result == 101) {
            LOG_BASIC("Error:  Client exceeded timeout on receive of DLL");
            return endSeries(file, 101);
        }
        if (result != 0 || type == noBlock) continue;  // no block in this call

        if (type == blockFirst) {
            if (file != nullptr) std::fclose(file);  // a new series starts over
            file = nullptr;
            char path[pathBufferSize];
            int written = -1;
            if (acceptableUpdateName(firstName) && haveDirectory) {
                written = std::snprintf(path, sizeof path, "%s%c%s", directory, platform::pathSeparator, firstName);
            }
            if (written < 0) {
                LOG_BASIC("Error:  Refused to store the update under the name %s", firstName);
                return endSeries(file, 100);
            }
            if (static_cast<size_t>(written) >= sizeof path ||
                (file = platform::createStoredFile(path)) == nullptr) {
                LOG_BASIC("Error:  Cannot create %s.  Updated DLL NOT received.", path);
                return endSeries(file, 100);
            }
        } else if (file == nullptr) {
            LOG_BASIC("Warning:  Dropped a block of type %d that belongs to no update file", type);
            continue;
        }
        if (!writeBytes(file, data, length)) {
            LOG_BASIC("Error:  Cannot write the update.  Updated DLL NOT received.");
            return endSeries(file, 100);
        }
        if (type == blockLast) {
            const bool complete = std::fclose(file) == 0;
            file = nullptr;
            if (!complete) {
                LOG_BASIC("Error:  Cannot write the update.  Updated DLL NOT received.");
                return endSeries(file, 100);
            }
            return 0;
        }
    }
}

}  // namespace dyadc
