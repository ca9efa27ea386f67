// Time limits and deadlines.
#include "frame/time_limit.h"

#include "platform/platform.h"

namespace dyadc {

int32_t& operationStart() {
    thread_local int32_t start = 0;
    return start;
}

void startOperation() {
    operationStart() = platform::currentTime();
}

bool timeLimitPassed(uint32_t timeoutSeconds) {
    if (timeoutSeconds == 0) return false;
    int64_t elapsed = static_cast<int64_t>(platform::currentTime()) - operationStart();
    return elapsed > static_cast<int64_t>(timeoutSeconds);
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

bool Deadline::passed() const {
    if (atMilliseconds_ >= 0 && platform::monotonicMilliseconds() >= atMilliseconds_) return true;
    return timeLimitPassed(limitSeconds_);
}

int32_t Deadline::nextWaitMilliseconds() const {
    if (!bounded()) return -1;
    int64_t wait = 1000;
    if (atMilliseconds_ >= 0) {
        const int64_t left = atMilliseconds_ - platform::monotonicMilliseconds();
        if (left < wait) wait = left < 0 ? 0 : left;
    }
    return static_cast<int32_t>(wait);
}

}  // namespace dyadc
