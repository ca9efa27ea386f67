// Calendar time in whole seconds, the monotonic clock, local time formatting
// and sleeps that a signal does not cut short.
#include "platform/platform.h"

#include <time.h>

#include <cerrno>

namespace dyadc::platform {

int32_t currentTime() {
    return static_cast<int32_t>(::time(nullptr));
}

int64_t monotonicMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int64_t monotonicMicroseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

namespace {

// Sleeps the whole time: a signal's interruption sleeps on for what is left.
void sleepFor(time_t seconds, long nanoseconds) {
    timespec left{seconds, nanoseconds};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace

void sleepSeconds(uint32_t seconds) {
    sleepFor(static_cast<time_t>(seconds), 0);
}

void sleepMilliseconds(uint32_t milliseconds) {
    sleepFor(static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000);
}

void sleepMicroseconds(uint32_t microseconds) {
    sleepFor(static_cast<time_t>(microseconds / 1000000), static_cast<long>(microseconds % 1000000) * 1000);
}

size_t formatLocalTime(int64_t seconds, const char* format, char* buffer, size_t size) {
    if (size == 0) return 0;
    time_t value = static_cast<time_t>(seconds);
    tm local{};
    if (localtime_r(&value, &local) == nullptr) {
        buffer[0] = '\0';
        return 0;
    }
    size_t length = strftime(buffer, size, format, &local);
    if (length == 0) buffer[0] = '\0';
    return length;
}

}  // namespace dyadc::platform
