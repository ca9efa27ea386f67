// The log writer and the host's switch for it, DyadSetLog.
#include "log/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "session/results.h"

namespace dyadc {

void writeLog(const char* format, ...) {
    char stamp[logStampSize];
    platform::formatLocalTime(platform::currentTime(), "%Y%m%d %H:%M:%S ", stamp, sizeof stamp);

    char message[logMessageSize];
    va_list arguments;
    va_start(arguments, format);
    (void)std::vsnprintf(message, sizeof message, format, arguments);  // a longer message is cut
    va_end(arguments);

    // The whole line goes out in one write, so that lines of processes that
    // log at the same time do not mix within a line.
    char line[sizeof "LOGGED:" + logStampSize + 3 + logMessageSize + 2];
    int length = std::snprintf(line, sizeof line, "LOGGED:%s   %s\r\n", stamp, message);
    if (length < 0) return;

    std::FILE* file = std::fopen(processSession().logPath, "ab");
    if (file == nullptr) return;
    // A line that cannot be written is lost; the log never reports itself.
    (void)std::fwrite(line, 1, static_cast<size_t>(length), file);
    (void)std::fclose(file);
}

void logAdapterOf(SocketHandle socket) {
    if (processSession().logDetail != 1) return;
    SocketAddress local{};
    (void)platform::localAddressOf(socket, &local);  // an unknown address is logged as 0.0.0.0
    writeLog("On Network Adapter associated with IP address: %s", platform::dotted(local).text);
}

Result setLog(const char* path, uint32_t sizeLimit, int32_t level) {
    ProcessSession& p = processSession();
    if (p.logForced == 1) return Result::ok;
    // A path that does not fit logPath (or none) is not taken: the log keeps
    // its file rather than writing to a name the host did not give.
    if (path != nullptr) {
        size_t length = std::strlen(path);
        if (length < sizeof p.logPath) std::memcpy(p.logPath, path, length + 1);
    }
    p.logSizeLimit = sizeLimit;
    if (level == 0) {
        p.logEnabled = 0;
        p.logDetail = 0;
    } else if (level == 1) {
        p.logEnabled = 1;
        p.logDetail = 0;
    } else if (level == 2) {
        p.logEnabled = 1;
        p.logDetail = 1;
    }
    return Result::ok;
}

}  // namespace dyadc
