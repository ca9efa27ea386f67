// Data blocks: the exported DyadSendDataBlock and DyadRecvDataBlock and what
// they share.
//
// A block travels as a "put" header, the go-ahead reply, exactly its bytes and
// the final acknowledgement. Blocks of the types 21 and 22 keep the connection
// open for the next block of a series, type 20 closes it, and a single block of
// any other type closes a connection that its call had to make.
#pragma once

#include <cstdint>
#include <mutex>

#include "frame/session.h"

namespace dyadc {

// The longest name a receiver stores: its buffers hold 260 bytes.
inline constexpr uint32_t receivedNameLimit = 259;
// The header line is read into this many bytes, of which 2045 are kept.
inline constexpr uint32_t headerBufferSize = 2048;
inline constexpr uint32_t headerReadSize = 2046;

// Threads of one process take turns in sending on the connection: a block's
// exchange (header, reply, bytes, reply) is never split by another thread's
// line, such as the closing "quit" of DyadClose.
std::recursive_mutex& sendingTurn();

// Closes the data connection if one is open ("closing local socket").
void closeConnection();

// Whether the open data connection belongs to another process of the
// workstation that still runs; this process can then not use it. A connection
// whose process has ended is forgotten here (connected 0).
bool connectionHeldElsewhere();

// Whether a pair of names can travel in a header without changing its
// meaning, and the header fits the line limit.
bool validHeader(const char* firstName, const char* secondName, uint32_t length, int32_t type);

// The fields of a received "put" line, split the way the receiver reads it.
// Returns 0 for an empty or unknown line (nothing written), the number of a
// "quit" line in `*quit` with result 1, or 2 for a "put" line whose fields
// were written in order (first name, second name, length, type; a field that
// is missing ends the writing and gives result 3).
struct ParsedLine {
    int32_t kind;  // 0 nothing, 1 quit, 2 put complete, 3 put incomplete
    int32_t quitNumber;
    bool haveFirst, haveSecond, haveLength, haveType;
    int32_t length;
    int32_t type;
};
ParsedLine parseCommandLine(char* line, char* firstName, char* secondName);

}  // namespace dyadc
