// Data blocks: sending and receiving one block, and the "put" header that
// announces it.
//
// A block travels as a "put" header, the go-ahead reply, exactly its bytes and
// the final acknowledgement. Blocks of the types 21 and 22 keep the connection
// open for the next block of a series, type 20 closes it, and a single block of
// any other type closes a connection that its call had to make.
#pragma once

#include <cstdint>

#include "dyadc.h"
#include "session/results.h"
#include "session/session.h"

namespace dyadc {

// The header line is read into this many bytes, of which 2045 are kept.
inline constexpr uint32_t headerBufferSize = 2048;
inline constexpr uint32_t headerReadSize = 2046;

// Sends one block and waits for the peer's confirmation of every byte
// (DyadSendDataBlock; include/dyadc.h documents it for hosts).
Result sendBlock(const char* firstName, const char* secondName, uint32_t timeoutSeconds, const void* data,
                 uint32_t length, int32_t type, DyadProgressCallback progress);

// Decides whether a block announced by its header may arrive, before the
// go-ahead: a refused one gets no reply, its connection is closed and the
// call returns 100.
using HeaderCheck = bool (*)(const char* firstName, const char* secondName);

// Receives the next block, or the next piece of one (DyadRecvDataBlock).
Result receiveBlock(char* firstName, char* secondName, uint32_t timeoutSeconds, void* buffer, uint32_t size,
                    int32_t* length, int32_t* type, DyadProgressCallback progress,
                    HeaderCheck acceptHeader = nullptr);

// Whether a pair of names can travel in a header without changing its
// meaning, and the header fits the line limit.
bool validHeader(const char* firstName, const char* secondName, uint32_t length, int32_t type);

// A received command line, split the way the receiver reads it. Fields are
// written in order (first name, second name, length, type) and a field that
// is missing ends the writing. The line's own end (LF, and a CR before it)
// belongs to no field. A "put" whose first or second name is longer than
// receivedNameLimit (the host's name buffers) is overlongName, with no field
// written.
struct ParsedLine {
    enum Kind { nothing, quit, put, incompletePut, overlongName } kind = nothing;
    int32_t quitNumber = 0;  // quit: its number (0 when none)
    bool haveFirst = false, haveSecond = false, haveLength = false, haveType = false;
    int32_t length = 0;
    int32_t type = 0;
};
ParsedLine parseCommandLine(const char* line, char* firstName, char* secondName);

}  // namespace dyadc
