// What the POSIX implementation of the platform layer shares between its own
// files; nothing outside platform/posix/ includes it (tests may).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace dyadc::platform {

// Maps an errno value to the socket error number; unknown values give
// errorSystemCallFailure. The one table of the library.
int32_t socketErrorFromErrno(int errnoValue);

// A socket handle as the descriptor that the system calls take.
inline int descriptor(SocketHandle socket) {
    return static_cast<int>(socket);
}

// The version record of an ELF library held in memory (the fuzz target and
// the tests use it). Returns 0 and the record, with the file offset of the
// record in `*recordOffset` when given; -1 when there is none.
int parseVersionRecord(const uint8_t* bytes, size_t length, VersionRecord* record, long* recordOffset);

}  // namespace dyadc::platform
