// The library update: when the Initiator's library is newer, its installed
// library file travels to the Responder as a series of data blocks named
// "dyadc.dl_" and is stored there, beside the installed library, for the host
// to put in place. The library never installs, renames or loads it, and keeps
// it only when it is a library for this system: a peer of another system
// (Linux and Windows, 64-bit and 32-bit) sends a file that the host could
// never put in place.
#pragma once

#include <cstdint>

#include "session/results.h"

namespace dyadc {

// The update travels in blocks of this many bytes.
inline constexpr uint32_t updateBlockSize = 2048;
// Each block of the update may take the receiver this long (seconds).
inline constexpr uint32_t updateReceiveLimit = 30;

// Initiator: sends the installed library file as blocks 21, 22..., 20 with no
// time limit. Returns ok when every block was acknowledged, invalid when the
// file cannot be opened, otherwise the result of the send that failed.
Result sendLibraryUpdate();

// Responder: receives the series and stores it in the system directory as
// "dyadc.dl_". Returns ok when the last block arrived and the file is
// complete; *kept then says whether it stays, which it does only when it is a
// library for this system (otherwise it was removed, and why is logged).
// Returns peerClosed when the Initiator closed the pairing first;
// connectionFailed when the connection failed or the series was refused (a
// block under any other name, or a file that cannot be created); timedOut
// when no block arrived in time.
// Whatever was received so far stays in the file.
Result receiveLibraryUpdate(bool* kept);

}  // namespace dyadc
