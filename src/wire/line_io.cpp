// sendLine, receiveLine, readReply and the partial lines of the handshake.
//
// A line read must never take a byte that follows its LF: the raw bytes of a
// block come right after its header on the same connection. The reader peeks
// at what has arrived, finds the LF and then takes exactly that many bytes,
// so a line costs two system calls instead of one per byte.
#include "wire/line_io.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "log/log.h"
#include "session/results.h"
#include "wire/text.h"

namespace dyadc {
namespace {

constexpr size_t lineBufferSize = 260;
constexpr size_t peekChunk = 512;

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

// Takes the next piece of a line: what has arrived up to and including its
// LF, storing what fits into `into[0..room)`. Returns the bytes taken (and
// sets *ended at the LF), 0 when the peer closed the connection, -1 when the
// receive failed (*error says why).
int64_t takePiece(SocketHandle socket, char* into, size_t room, size_t* kept, bool* ended, int32_t* error) {
    char chunk[peekChunk];
    const int64_t seen = platform::peekSome(socket, chunk, sizeof chunk);
    if (seen <= 0) {
        if (seen < 0) *error = platform::lastSocketError();
        return seen;
    }
    const auto* end = static_cast<const char*>(std::memchr(chunk, '\n', static_cast<size_t>(seen)));
    const size_t take = end != nullptr ? static_cast<size_t>(end - chunk) + 1 : static_cast<size_t>(seen);
    if (!consume(socket, chunk, take)) {
        *error = platform::lastSocketError();
        return -1;
    }
    *kept = take < room ? take : room;
    std::memcpy(into, chunk, *kept);
    *ended = end != nullptr;
    return static_cast<int64_t>(take);
}

// A line that has not ended within lineByteLimit bytes.
bool runsOn(size_t taken) {
    return taken > lineByteLimit;
}

}  // namespace

Result sendLine(SocketHandle socket, const char* format, ...) {
    char line[lineBufferSize];
    va_list arguments;
    va_start(arguments, format);
    int length = std::vsnprintf(line, lineTextLimit + 1, format, arguments);
    va_end(arguments);
    if (length < 0 || static_cast<size_t>(length) > lineTextLimit) {
        // Sending it cut short would change its meaning for the receiver.
        LOG_BASIC("send() failed, rc=%d: data=%s", platform::errorMessageTooLong, line);
        return resultFrom(platform::errorMessageTooLong);
    }
    line[length] = '\r';
    line[length + 1] = '\n';
    line[length + 2] = '\0';
    if (platform::sendAll(socket, line, static_cast<size_t>(length) + 2, nullptr) != 0) {
        const int32_t error = platform::lastSocketError();
        LOG_BASIC("send() failed, rc=%d: data=%s", error, line);
        return resultFrom(error);
    }
    LOG_DETAIL(">>%s", line);
    return Result::ok;
}

LineResult receiveLine(SocketHandle socket, char* buffer, uint32_t size, const Deadline& deadline) {
    if (size > 0) std::memset(buffer, 0, size);
    const size_t room = size > 0 ? size - 1 : 0;
    size_t stored = 0;
    size_t taken = 0;
    for (;;) {
        if (deadline.bounded()) {
            // What has already arrived is read even when the deadline has
            // passed (the first look does not wait then): a reply that waits
            // on the socket is an answer, not a time-out.
            int ready = platform::waitReadable(socket, deadline.nextWaitMilliseconds());
            while (ready == 0 && !deadline.passed())
                ready = platform::waitReadable(socket, deadline.nextWaitMilliseconds());
            if (ready <= 0)
                return {LineRead::failed, ready == 0 ? platform::errorTimedOut : platform::lastSocketError()};
        }
        size_t kept = 0;
        bool ended = false;
        int32_t error = 0;
        const int64_t piece = takePiece(socket, buffer + stored, room - stored, &kept, &ended, &error);
        if (piece <= 0) return {LineRead::failed, error};
        stored += kept;
        taken += static_cast<size_t>(piece);
        if (ended) break;
        if (runsOn(taken)) return {LineRead::failed, platform::errorMessageTooLong};
    }
    LOG_DETAIL("<<%s", buffer);
    return {LineRead::complete, 0};
}

LineResult continueLine(SocketHandle socket, PartialLine& line) {
    size_t kept = 0;
    bool ended = false;
    int32_t error = 0;
    const int64_t piece = takePiece(socket, line.text + line.stored, PartialLine::size - 1 - line.stored, &kept,
                                    &ended, &error);
    if (piece <= 0) return {LineRead::failed, error};
    line.stored += static_cast<uint32_t>(kept);
    line.taken += static_cast<size_t>(piece);
    if (ended) {
        LOG_DETAIL("<<%s", line.text);
        return {LineRead::complete, 0};
    }
    if (runsOn(line.taken)) return {LineRead::failed, platform::errorMessageTooLong};
    return {LineRead::more, 0};
}

int32_t replyCode(const char* line) {
    size_t length = 0;
    while (length < 3 && line[length] != '\0') ++length;
    return low32(TextCursor(std::string_view(line, length)).number());
}

Transfer readReply(SocketHandle socket, int32_t* code, const Deadline& deadline) {
    *code = 0;
    char line[replyBufferSize];
    LineResult read = receiveLine(socket, line, sizeof line, deadline);
    const bool firstRead = read == LineRead::complete;
    char key[4] = {line[0], line[1], line[2], ' '};
    if (firstRead && line[3] == '-') {
        do {
            read = receiveLine(socket, line, sizeof line, deadline);
        } while (read == LineRead::complete && std::memcmp(line, key, sizeof key) != 0);
    }
    const Transfer result{read == LineRead::complete ? Result::ok : Result::noReply, read.error, 0};
    if (firstRead) *code = replyCode(key);
    if (*code != 0) {
        size_t length = std::strlen(line);
        if (length >= 2 && line[length - 2] == '\r' && line[length - 1] == '\n') line[length - 2] = '\0';
        LOG_DETAIL("%s", line);
    }
    return result;
}

}  // namespace dyadc
