// sendLibraryUpdate: the Initiator's installed library file as a series of
// blocks. The first piece is type 21, each further one 22, and the piece read
// when the end of the file was reached 20; a file whose length is a multiple
// of the block size therefore ends with an empty last block, and a file that
// fits into the first block is followed by an empty last block, so that the
// receiver learns at once that the series is complete. The whole series
// travels over one connection: when it is gone before the end, the sending
// stops instead of connecting again.
#include <cstdio>

#include "blocks/blocks.h"
#include "link/lease.h"
#include "log/log.h"
#include "session/results.h"
#include "session/system_files.h"
#include "update/update.h"
#include "wire/protocol.h"

namespace dyadc {
namespace {

Result sendPiece(const uint8_t* bytes, size_t length, int32_t type) {
    // The check and the send take one turn: a close in another thread of
    // this process cannot come between them.
    std::lock_guard<std::recursive_mutex> turn(sendingTurn());
    if (type != blockFirst && sharedSession().connected == 0) {
        // The series' connection is gone (the pairing was closed, or the peer
        // went away): the rest cannot join the first part on a new one.
        LOG_BASIC("Error:  The update's connection closed.  Updated DLL NOT sent.");
        return Result::connectionFailed;
    }
    return sendBlock(updateBlockName, updateSecondName, 0, bytes, static_cast<uint32_t>(length), type, nullptr);
}

}  // namespace

Result sendLibraryUpdate() {
    char path[systemPathSize];
    std::FILE* file = systemFilePath(platform::installedLibraryName, path) ? std::fopen(path, "rb") : nullptr;
    if (file == nullptr) {
        LOG_BASIC("Error opening %s", path);
        return Result::invalid;
    }

    uint8_t block[updateBlockSize];
    size_t got = std::fread(block, 1, sizeof block, file);
    Result sent = sendPiece(block, got, blockFirst);
    if (sent == Result::ok && std::feof(file) != 0) sent = sendPiece(block, 0, blockLast);
    while (sent == Result::ok && std::feof(file) == 0) {
        got = std::fread(block, 1, sizeof block, file);
        sent = sendPiece(block, got, std::feof(file) != 0 ? blockLast : blockMore);
        if (sent == Result::timedOut) LOG_BASIC("Send updated dll failed, timeout");
    }
    (void)std::fclose(file);  // only read from
    return sent;
}

}  // namespace dyadc
