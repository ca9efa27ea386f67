// Calendar time in whole seconds, the monotonic clock, local time formatting
// and sleeps.
#include <ctime>

#include "platform/windows/win32.h"

namespace dyadc::platform {

int32_t currentTime() {
    return static_cast<int32_t>(std::time(nullptr));
}

int64_t monotonicMilliseconds() {
    return static_cast<int64_t>(GetTickCount64());
}

int64_t monotonicMicroseconds() {
    LARGE_INTEGER count{};
    LARGE_INTEGER frequency{};
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    // Whole seconds and the rest apart, so that the product cannot overflow.
    const int64_t seconds = count.QuadPart / frequency.QuadPart;
    const int64_t rest = count.QuadPart % frequency.QuadPart;
    return seconds * 1000000 + rest * 1000000 / frequency.QuadPart;
}

void sleepSeconds(uint32_t seconds) {
    // Sleep counts milliseconds in 32 bits: long sleeps go in parts.
    constexpr uint32_t longestPart = 3600;
    while (seconds > 0) {
        const uint32_t part = seconds < longestPart ? seconds : longestPart;
        Sleep(part * 1000);
        seconds -= part;
    }
}

void sleepMilliseconds(uint32_t milliseconds) {
    Sleep(milliseconds);
}

void sleepMicroseconds(uint32_t microseconds) {
    Sleep(wholeMilliseconds(microseconds));
}

size_t formatLocalTime(int64_t seconds, const char* format, char* buffer, size_t size) {
    if (size == 0) return 0;
    const auto value = static_cast<time_t>(seconds);
    tm local{};
    if (localtime_s(&local, &value) != 0) {
        buffer[0] = '\0';
        return 0;
    }
    const size_t length = std::strftime(buffer, size, format, &local);
    if (length == 0) buffer[0] = '\0';
    return length;
}

}  // namespace dyadc::platform
