// sendLine, receiveLine and readReply.
//
// receiveLine must never take a byte that follows the line's LF: the raw
// bytes of a block come right after its header on the same connection. It
// peeks at what has arrived, finds the LF and then takes exactly that many
// bytes, so a line costs two system calls instead of one per byte.
#include "channel/line_io.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "log/log.h"

namespace dyadc {
namespace {

constexpr size_t lineBufferSize = 260;
constexpr size_t peekChunk = 512;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Takes exactly `count` bytes that a peek has shown to be there.
bool consume(SocketHandle socket, char* into, size_t count) {
    size_t taken = 0;
    while (taken < count) {
        int64_t got = platform::receiveSome(socket, into + taken, count - taken);
        if (got <= 0) return false;
        taken += static_cast<size_t>(got);
    }
    return true;
}

}  // namespace

int32_t sendLine(SocketHandle socket, const char* format, ...) {
    char line[lineBufferSize];
    va_list arguments;
    va_start(arguments, format);
    int length = std::vsnprintf(line, lineTextLimit + 1, format, arguments);
    va_end(arguments);
    if (length < 0 || static_cast<size_t>(length) > lineTextLimit) {
        // Sending it cut short would change its meaning for the receiver.
        processSession().lastSocketError = platform::errorMessageTooLong;
        LOG_BASIC("send() failed, rc=%d: data=%s", platform::errorMessageTooLong, line);
        return platform::errorMessageTooLong;
    }
    line[length] = '\r';
    line[length + 1] = '\n';
    line[length + 2] = '\0';
    if (platform::sendAll(socket, line, static_cast<size_t>(length) + 2, nullptr) != 0) {
        int32_t error = platform::lastSocketError();
        processSession().lastSocketError = error;
        LOG_BASIC("send() failed, rc=%d: data=%s", error, line);
        return error;
    }
    LOG_DETAIL(">>%s", line);
    return 0;
}

int32_t receiveLine(SocketHandle socket, char* buffer, uint32_t size) {
    if (size > 0) std::memset(buffer, 0, size);
    const size_t room = size > 0 ? size - 1 : 0;
    size_t stored = 0;
    int32_t result = 0;
    char chunk[peekChunk];
    for (;;) {
        int64_t seen = platform::peekSome(socket, chunk, sizeof chunk);
        if (seen < 0) {
            processSession().lastSocketError = platform::lastSocketError();
            break;
        }
        if (seen == 0) break;  // the peer closed the connection
        const auto* end = static_cast<const char*>(std::memchr(chunk, '\n', static_cast<size_t>(seen)));
        const size_t take = end != nullptr ? static_cast<size_t>(end - chunk) + 1 : static_cast<size_t>(seen);
        if (!consume(socket, chunk, take)) {
            processSession().lastSocketError = platform::lastSocketError();
            break;
        }
        size_t keep = take < room - stored ? take : room - stored;
        std::memcpy(buffer + stored, chunk, keep);
        stored += keep;
        if (end != nullptr) {
            result = 1;
            break;
        }
    }
    if (result > 0) LOG_DETAIL("<<%s", buffer);
    return result;
}

int32_t replyCode(const char* line) {
    size_t at = 0;
    while (at < 3 && line[at] != '\0' && isBlank(line[at])) ++at;
    bool negative = false;
    if (at < 3 && (line[at] == '+' || line[at] == '-')) {
        negative = line[at] == '-';
        ++at;
    }
    int32_t value = 0;
    while (at < 3 && line[at] >= '0' && line[at] <= '9') value = value * 10 + (line[at++] - '0');
    return negative ? -value : value;
}

int32_t readReply(SocketHandle socket, int32_t* code) {
    *code = 0;
    char line[replyBufferSize];
    int32_t read = receiveLine(socket, line, sizeof line);
    bool firstRead = read != 0;
    char key[4] = {line[0], line[1], line[2], ' '};
    if (firstRead && line[3] == '-') {
        do {
            read = receiveLine(socket, line, sizeof line);
        } while (read != 0 && std::memcmp(line, key, sizeof key) != 0);
    }
    int32_t result = read != 0 ? 0 : 99;
    if (firstRead) *code = replyCode(key);
    if (*code != 0) {
        size_t length = std::strlen(line);
        if (length >= 2 && line[length - 2] == '\r' && line[length - 1] == '\n') line[length - 2] = '\0';
        LOG_DETAIL("%s", line);
    }
    return result;
}

}  // namespace dyadc
