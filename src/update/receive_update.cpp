// receiveLibraryUpdate: the Responder's side of the update. It stores the
// series in the system directory as "dyadc.dl_", the name under which the
// update always travels: a block under any other name is refused at its
// header, before any of its bytes is acknowledged, with nothing written (the
// system directory is where the installed library
// lives, and the peer must not choose what is written there). It writes only
// through a file that it opened for the series. A call that delivered bytes
// is told from one that read an empty or unknown line by a type value that no
// block carries. A complete file that is no library for this system (the
// Initiator's system or architecture is another) is removed again.
#include <climits>
#include <cstdio>
#include <cstring>

#include "blocks/blocks.h"
#include "link/lease.h"
#include "log/log.h"
#include "session/results.h"
#include "session/system_files.h"
#include "update/update.h"
#include "wire/protocol.h"

namespace dyadc {
namespace {

constexpr size_t nameBufferSize = 264;
// No block of the series carries this type: still there after a call that
// returned 0, it means that the call delivered no block.
constexpr int32_t noBlock = INT32_MIN;

// Ends the series: the file keeps what arrived, and the connection is closed
// so that the Initiator, which sends without a time limit, learns it at once.
Result endSeries(std::FILE*& file, Result result) {
    if (file != nullptr) (void)std::fclose(file);  // what arrived stays; the series has failed anyway
    file = nullptr;
    closeConnection();
    return result;
}

// Every block of the series must carry the update's own name.
bool updateHeader(const char* firstName, const char* /*secondName*/) {
    if (std::strcmp(firstName, updateBlockName) == 0) return true;
    LOG_BASIC("Error:  Refused to store the update under the name %s", firstName);
    return false;
}

bool writeBytes(std::FILE* file, const uint8_t* bytes, int32_t length) {
    return length <= 0 || std::fwrite(bytes, 1, static_cast<size_t>(length), file) == static_cast<size_t>(length);
}

// Keeps the complete update at `path` when it is a library for this system;
// otherwise removes it and says why. Returns whether it stays.
bool keepWhenOwnLibrary(const char* path) {
    const char* why = platform::libraryMismatch(path);
    if (why == nullptr) return true;
    if (std::remove(path) == 0) {
        LOG_BASIC("Error:  The update is no library for this system (%s).  Removed %s", why, path);
    } else {
        LOG_BASIC("Error:  The update is no library for this system (%s).  Cannot remove %s", why, path);
    }
    return false;
}

}  // namespace

Result receiveLibraryUpdate(bool* kept) {
    char firstName[nameBufferSize];
    char secondName[nameBufferSize];
    uint8_t data[updateBlockSize];
    char path[systemPathSize] = "";
    std::FILE* file = nullptr;
    *kept = false;
    for (;;) {
        int32_t length = 0;
        int32_t type = noBlock;
        const Result received = receiveBlock(firstName, secondName, updateReceiveLimit, data, sizeof data, &length,
                                             &type, nullptr, updateHeader);
        if (received == Result::peerClosed) return endSeries(file, received);
        if (received == Result::connectionFailed) {
            LOG_BASIC("Error:  Client nolonger connected.  Updated DLL NOT received.");
            return endSeries(file, received);
        }
        if (received == Result::timedOut) {
            LOG_BASIC("Error:  Client exceeded timeout on receive of DLL");
            return endSeries(file, received);
        }
        if (received != Result::ok || type == noBlock) continue;  // no block in this call

        if (type == blockFirst) {
            if (file != nullptr) (void)std::fclose(file);  // a new series starts over
            file = nullptr;
            if (!systemFilePath(updateBlockName, path) || (file = platform::createStoredFile(path)) == nullptr) {
                LOG_BASIC("Error:  Cannot create %s.  Updated DLL NOT received.", path);
                return endSeries(file, Result::connectionFailed);
            }
        } else if (file == nullptr) {
            LOG_BASIC("Warning:  Dropped a block of type %d that belongs to no update file", type);
            continue;
        }
        if (!writeBytes(file, data, length)) {
            LOG_BASIC("Error:  Cannot write the update.  Updated DLL NOT received.");
            return endSeries(file, Result::connectionFailed);
        }
        if (type == blockLast) {
            const bool complete = std::fclose(file) == 0;
            file = nullptr;
            if (!complete) {
                LOG_BASIC("Error:  Cannot write the update.  Updated DLL NOT received.");
                return endSeries(file, Result::connectionFailed);
            }
            *kept = keepWhenOwnLibrary(path);
            return Result::ok;
        }
    }
}

}  // namespace dyadc
