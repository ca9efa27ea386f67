// The one place where errno becomes a socket error number. The portable code
// tells a time-out from a broken connection by 10060 alone, so every way in
// which a socket call runs into its time-out maps there.
#include "platform/posix/posix.h"

#include <cerrno>

namespace dyadc::platform {
namespace {

struct ErrorMapping {
    int errnoValue;
    int32_t socketError;
};

// errno value to socket error number (10000 + the classic BSD code).
constexpr ErrorMapping errorTable[] = {
    {EINTR, errorInterrupted},
    {EBADF, 10009},
    {EACCES, 10013},
    {EFAULT, 10014},
    {EINVAL, 10022},
    {EMFILE, 10024},
    {ENFILE, 10024},
    {EAGAIN, errorTimedOut},       // receive or send time-out
    {EINPROGRESS, errorTimedOut},  // a blocking connect ran into the send time-out
    {EALREADY, 10037},
    {ENOTSOCK, 10038},
    {EDESTADDRREQ, 10039},
    {EMSGSIZE, errorMessageTooLong},
    {EPROTOTYPE, 10041},
    {ENOPROTOOPT, 10042},
    {EPROTONOSUPPORT, 10043},
    {ESOCKTNOSUPPORT, 10044},
    {EOPNOTSUPP, 10045},
    {EPFNOSUPPORT, 10046},
    {EAFNOSUPPORT, 10047},
    {EADDRINUSE, errorAddressInUse},
    {EADDRNOTAVAIL, errorAddressNotAvailable},
    {ENETDOWN, 10050},
    {ENETUNREACH, 10051},
    {ENETRESET, 10052},
    {ECONNABORTED, errorConnectionAborted},
    {EPIPE, errorConnectionAborted},
    {ECONNRESET, errorConnectionReset},
    {ENOBUFS, 10055},
    {ENOMEM, 10055},
    {EISCONN, 10056},
    {ENOTCONN, errorNotConnected},
    {ESHUTDOWN, 10058},
    {ETOOMANYREFS, 10059},
    {ETIMEDOUT, errorTimedOut},
    {ECONNREFUSED, errorConnectionRefused},
    {ELOOP, 10062},
    {ENAMETOOLONG, 10063},
    {EHOSTDOWN, 10064},
    {EHOSTUNREACH, 10065},
};

thread_local int32_t threadLastError = 0;

}  // namespace

int32_t socketErrorFromErrno(int errnoValue) {
    // EWOULDBLOCK is EAGAIN on Linux; keep the check for systems where it is not.
    if (errnoValue == EWOULDBLOCK) return errorTimedOut;
    for (const ErrorMapping& mapping : errorTable) {
        if (mapping.errnoValue == errnoValue) return mapping.socketError;
    }
    return errorSystemCallFailure;
}

int32_t lastSocketError() {
    return threadLastError;
}

void setLastSocketError(int32_t error) {
    threadLastError = error;
}

}  // namespace dyadc::platform
