// Line I/O on a connection: every command, reply and handshake line travels
// as text ended by CR LF; replies begin with a three-digit code.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frame/session.h"

namespace dyadc {

// The longest text that sendLine sends: its 260-byte buffer holds the text,
// CR, LF and the terminating NUL.
inline constexpr size_t lineTextLimit = 257;
// A reply line is read into this many bytes.
inline constexpr uint32_t replyBufferSize = 1024;

// Formats one line with printf conventions, appends CR LF and sends it whole.
// Returns 0, or the socket error (also stored in lastSocketError). A text
// longer than lineTextLimit is not sent: the result is errorMessageTooLong.
int32_t sendLine(SocketHandle socket, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Receives one line into `buffer`, storing at most size - 1 bytes (CR LF
// included when it fits) and always a terminating NUL; the rest of an
// over-long line is read and dropped. Never consumes a byte past the LF.
// Returns 1 for a line ended by LF; 0 when the receive failed (the error is
// in lastSocketError) or the peer closed the connection. Bytes received
// before a failure stay in the buffer.
int32_t receiveLine(SocketHandle socket, char* buffer, uint32_t size);

// Reads one reply: one line, or several when the fourth character of the
// first is '-' (up to the line that begins with the same three characters and
// a blank). Returns 0 when read, 99 when a line could not be read. `*code` is
// the value of the first line's first three characters (0 when none).
int32_t readReply(SocketHandle socket, int32_t* code);

// The numeric value of a reply line's code, read like atoi over its first
// three characters: leading blanks, an optional sign, then digits.
int32_t replyCode(const char* line);

}  // namespace dyadc
