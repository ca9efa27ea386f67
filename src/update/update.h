// The library update: when the Initiator's library is newer, its installed
// library file travels to the Responder as a series of data blocks named
// "dyadc.dl_" and is stored there, beside the installed library, for the host
// to put in place. The library never installs, renames or loads it.
#pragma once

#include <cstdint>

namespace dyadc {

// The update travels in blocks of this many bytes.
inline constexpr uint32_t updateBlockSize = 2048;
// Each block of the update may take the receiver this long (seconds).
inline constexpr uint32_t updateReceiveLimit = 30;

// Initiator: sends the installed library file as blocks 21, 22..., 20 with no
// time limit. Returns 0 when every block was acknowledged, -1 when the file
// cannot be opened, otherwise the result of the send that failed.
int32_t sendLibraryUpdate();

// Responder: receives the series and stores it in the system directory as
// "dyadc.dl_". Returns 0 when the last block arrived and the file is
// complete; 23 when the Initiator closed the pairing first; 100 when the
// connection failed or the series was refused (a series under any other name,
// or a file that cannot be created); 101 when no block arrived in time.
// Whatever was received so far stays in the file.
int32_t receiveLibraryUpdate();

}  // namespace dyadc
