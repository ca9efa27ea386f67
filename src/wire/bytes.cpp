// A block's bytes on the connection, and the rule after a failed step.
#include "wire/bytes.h"

#include "session/time_limit.h"
#include "wire/line_io.h"

namespace dyadc {

Result afterFailure(SocketHandle socket, int32_t error, uint32_t timeoutSeconds) {
    if (error == platform::errorMessageTooLong || platform::brokenConnectionError(error) ||
        platform::connectionBroken(socket)) {
        return Result::connectionFailed;
    }
    return timeLimitPassed(timeoutSeconds) ? Result::timedOut : Result::retry;
}

Transfer sendBlockBytes(SocketHandle socket, const uint8_t* bytes, size_t length, uint32_t timeoutSeconds) {
    Transfer transfer;
    if (platform::sendAll(socket, bytes, length, &transfer.count) == 0) return transfer;
    transfer.error = platform::lastSocketError();
    transfer.result = afterFailure(socket, transfer.error, timeoutSeconds);
    return transfer;
}

Transfer receiveBlockBytes(SocketHandle socket, uint8_t* buffer, size_t room, uint32_t timeoutSeconds,
                           int32_t socketTimeoutMs) {
    Transfer transfer;
    const int64_t left = timeLeftMilliseconds(timeoutSeconds);
    if (left >= 0 && left < socketTimeoutMs && platform::waitReadable(socket, static_cast<int32_t>(left)) == 0) {
        transfer.error = platform::errorTimedOut;
        transfer.result = Result::timedOut;
        return transfer;
    }
    const int64_t got = platform::receiveSome(socket, buffer, room);
    if (got > 0) {
        transfer.count = static_cast<size_t>(got);
        return transfer;
    }
    // The peer closed the connection: nothing more of the block can come.
    if (got == 0) return Transfer{Result::connectionFailed, 0, 0};
    transfer.error = platform::lastSocketError();
    transfer.result = afterFailure(socket, transfer.error, timeoutSeconds);
    return transfer;
}

}  // namespace dyadc
