// The diagnostic log: one time-stamped line per message, appended to the file
// named by the process's logPath, in two levels. Call sites test the level's
// flag before they format anything (LOG_BASIC, LOG_DETAIL), so a switched-off
// log costs one test.
#pragma once

#include <cstddef>
#include <cstdint>

#include "session/results.h"
#include "session/session.h"

namespace dyadc {

// The formatted message text is built in a buffer of this size: at most 799
// characters; longer messages are cut, never overrun.
inline constexpr size_t logMessageSize = 800;
// The time stamp "%Y%m%d %H:%M:%S " is built in a buffer of this size.
inline constexpr size_t logStampSize = 80;

// Formats one message with printf conventions and appends it as one line,
// "LOGGED:<stamp>   <message>" followed by CR LF. Writes unconditionally; a
// log file that cannot be opened loses the line without any report.
void writeLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The host's switch of this process's log (DyadSetLog; the public header
// documents it). A path that does not fit logPath, or none, keeps the current
// one. Always returns ok.
Result setLog(const char* path, uint32_t sizeLimit, int32_t level);

// Detail message "On Network Adapter associated with IP address: %s" with the
// local address of a socket.
void logAdapterOf(SocketHandle socket);

// Cuts the file `path` back to about its last `limit` bytes, beginning with a
// whole line, through the temporary file `path` + ".tmp". Returns ok when the
// file was trimmed or needed no trim, invalid when it was left as it was.
Result trimLog(const char* path, uint32_t limit);

}  // namespace dyadc

#define LOG_BASIC(...)                                                                 \
    do {                                                                               \
        if (::dyadc::processSession().logEnabled == 1) ::dyadc::writeLog(__VA_ARGS__); \
    } while (0)

#define LOG_DETAIL(...)                                                               \
    do {                                                                              \
        if (::dyadc::processSession().logDetail == 1) ::dyadc::writeLog(__VA_ARGS__); \
    } while (0)
