// Calendar time in whole seconds, local time formatting and whole-second
// sleeps that a signal does not cut short.
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

void sleepSeconds(uint32_t seconds) {
    timespec left{static_cast<time_t>(seconds), 0};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

void sleepMilliseconds(uint32_t milliseconds) {
    timespec left{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

void sleepMicroseconds(uint32_t microseconds) {
    timespec left{static_cast<time_t>(microseconds / 1000000), static_cast<long>(microseconds % 1000000) * 1000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
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
