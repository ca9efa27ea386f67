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

// A process's identity (platform.h): below its id, the low 10 bits hold its
// place in the holder table of the workstation's shared memory (0: it holds
// none) and the 22 bits above them a count of the places taken so far
// (session_memory.cpp).
inline constexpr uint32_t identityPlaceBits = 10;
inline constexpr uint64_t identityCountMask = (uint64_t{1} << 22) - 1;
// The identity of a process that holds no place (in a Session of its own, or
// before it attached): its id and the low bits of its start time, which
// /proc/PID/stat gives (0 without /proc). Whether such a process still runs
// is asked of /proc too, by id and start time.
ProcessIdentity identityWithoutPlace(int32_t processId);
bool aliveWithoutPlace(ProcessIdentity process);

// The version record of an ELF library held in memory (the fuzz target and
// the tests use it). Returns 0 and the record, with the file offset of the
// record in `*recordOffset` when given; -1 when there is none.
int parseVersionRecord(const uint8_t* bytes, size_t length, VersionRecord* record, long* recordOffset);

}  // namespace dyadc::platform
