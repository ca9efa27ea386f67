// Time limits and deadlines.
#include "session/time_limit.h"

#include <algorithm>

#include "platform/platform.h"

namespace dyadc {

namespace {

// The start of the current operation on the monotonic clock, per thread.
int64_t& operationStartMicroseconds() {
    thread_local int64_t start = 0;
    return start;
}

}  // namespace

int32_t& operationStart() {
    thread_local int32_t start = 0;
    return start;
}

void startOperation() {
    operationStart() = platform::currentTime();
    operationStartMicroseconds() = platform::monotonicMicroseconds();
}

int64_t timeLeftMilliseconds(uint32_t timeoutSeconds) {
    if (timeoutSeconds == 0) return -1;
    const int64_t elapsed = platform::monotonicMicroseconds() - operationStartMicroseconds();
    const int64_t left = static_cast<int64_t>(timeoutSeconds) * 1000000 - elapsed;
    return left > 0 ? (left + 999) / 1000 : 0;  // rounded up: no wait ends before the limit
}

bool timeLimitPassed(uint32_t timeoutSeconds) {
    return timeLeftMilliseconds(timeoutSeconds) == 0;
}

int64_t waitWithinLimit(uint32_t timeoutSeconds, int64_t milliseconds) {
    const int64_t left = timeLeftMilliseconds(timeoutSeconds);
    return left >= 0 && left < milliseconds ? left : milliseconds;
}

Deadline Deadline::limit(uint32_t timeoutSeconds) {
    Deadline deadline;
    deadline.limitSeconds_ = timeoutSeconds;
    return deadline;
}

Deadline Deadline::after(int64_t milliseconds) {
    Deadline deadline;
    deadline.atMilliseconds_ = platform::monotonicMilliseconds() + (milliseconds > 0 ? milliseconds : 0);
    return deadline;
}

Deadline Deadline::limitOrAfter(uint32_t timeoutSeconds, int64_t milliseconds) {
    Deadline deadline = after(milliseconds);
    deadline.limitSeconds_ = timeoutSeconds;
    return deadline;
}

bool Deadline::passed() const {
    if (atMilliseconds_ >= 0 && platform::monotonicMilliseconds() >= atMilliseconds_) return true;
    return timeLimitPassed(limitSeconds_);
}

int64_t Deadline::leftMilliseconds() const {
    int64_t left = timeLeftMilliseconds(limitSeconds_);
    if (atMilliseconds_ >= 0) {
        const int64_t until = std::max(atMilliseconds_ - platform::monotonicMilliseconds(), int64_t{0});
        if (left < 0 || until < left) left = until;
    }
    return left;
}

int32_t Deadline::nextWaitMilliseconds() const {
    if (!bounded()) return -1;
    int64_t wait = waitWithinLimit(limitSeconds_, 1000);
    if (atMilliseconds_ >= 0) {
        const int64_t left = atMilliseconds_ - platform::monotonicMilliseconds();
        if (left < wait) wait = left < 0 ? 0 : left;
    }
    return static_cast<int32_t>(wait);
}

}  // namespace dyadc
