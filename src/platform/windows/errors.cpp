// The socket errors of this platform are already the numbers that the rest of
// the library compares against (10060 time-out, 10061 refused, ...): Winsock's
// own. They are recorded per thread when a call fails and kept apart from
// GetLastError, which any later system call (writing the log, for one) may
// overwrite before the caller asks for the socket error.
#include "platform/windows/win32.h"

namespace dyadc::platform {
namespace {

thread_local int32_t threadLastError = 0;

}  // namespace

int32_t lastSocketError() {
    return threadLastError;
}

void setLastSocketError(int32_t error) {
    threadLastError = error;
    WSASetLastError(error);
}

int recordFailure() {
    return recordError(WSAGetLastError());
}

int recordError(int32_t error) {
    setLastSocketError(error);
    return -1;
}

}  // namespace dyadc::platform
