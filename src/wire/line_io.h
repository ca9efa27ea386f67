// Line I/O on a connection: every command, reply and handshake line travels
// as text ended by CR LF; replies begin with a three-digit code.
#pragma once

#include <cstddef>
#include <cstdint>

#include "session/results.h"
#include "session/session.h"
#include "session/time_limit.h"
#include "wire/bytes.h"

namespace dyadc {

// The longest text that sendLine sends: its 260-byte buffer holds the text,
// CR, LF and the terminating NUL.
inline constexpr size_t lineTextLimit = 257;
// A reply line is read into this many bytes.
inline constexpr uint32_t replyBufferSize = 1024;
// A line that has not ended after this many bytes is no line that a peer of
// this library sends (its lines are at most 259 bytes): reading it fails with
// errorMessageTooLong instead of reading on for ever.
inline constexpr size_t lineByteLimit = 65536;

// What reading a line came to: the line is complete, more of it is still to
// come (continueLine only), or the read failed.
enum class [[nodiscard]] LineRead{complete, more, failed};

// A line read's outcome with the socket error of a failure: errorTimedOut
// when the deadline passed or the socket's receive time-out ran out,
// errorMessageTooLong past lineByteLimit, another socket error, or 0 when
// the peer closed the connection.
struct [[nodiscard]] LineResult {
    LineRead read = LineRead::failed;
    int32_t error = 0;
    friend bool operator==(const LineResult& result, LineRead read) { return result.read == read; }
};

// Formats one line with printf conventions, appends CR LF and sends it whole.
// Returns Result::ok, or the socket error as a result. A text longer than
// lineTextLimit is not sent: the result is errorMessageTooLong.
Result sendLine(SocketHandle socket, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Receives one line into `buffer`, storing at most size - 1 bytes (CR LF
// included when it fits) and always a terminating NUL; the rest of an
// over-long line is read and dropped. Never consumes a byte past the LF.
// Bytes that have already arrived are read even when `deadline` has passed.
// Returns complete for a line ended by LF; failed with its error when the
// receive failed or the peer closed the connection. Bytes received before a
// failure stay in the buffer.
LineResult receiveLine(SocketHandle socket, char* buffer, uint32_t size,
                       const Deadline& deadline = Deadline::none());

// Reads one reply: one line, or several when the fourth character of the
// first is '-' (up to the line that begins with the same three characters and
// a blank). Returns ok when read, noReply with the line read's error when a
// line could not be read (by the deadline, among others). `*code` is the
// value of the first line's first three characters (0 when none).
Transfer readReply(SocketHandle socket, int32_t* code, const Deadline& deadline = Deadline::none());

// The numeric value of a reply line's code, read like atoi over its first
// three characters: leading blanks, an optional sign, then digits.
int32_t replyCode(const char* line);

// A line that arrives over several reads, for waiting on many connections at
// once: continueLine takes what has arrived without waiting for more.
struct PartialLine {
    static constexpr uint32_t size = 260;
    char text[size] = {};  // at most size - 1 bytes of the line, NUL-terminated
    uint32_t stored = 0;
    size_t taken = 0;  // every byte taken, also those dropped
};
// Returns complete when the line is complete, more when more is to come,
// failed with its error when the connection closed or failed or the line ran
// past lineByteLimit. Call it when the socket is readable, or it waits for
// the next bytes.
LineResult continueLine(SocketHandle socket, PartialLine& line);

}  // namespace dyadc
