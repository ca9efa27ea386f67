// Time limits and deadlines.
//
// A host's time limit is whole seconds measured with the calendar clock from
// the start of the current operation (an open, a send or a receive); 0 means
// none, and it has passed when more seconds than the limit have elapsed. A
// Deadline bounds one wait: by such a time limit, by a moment of the monotonic
// clock, or not at all.
#pragma once

#include <cstdint>

namespace dyadc {

// The start of the calling thread's current open, send or receive, in whole
// seconds of the calendar clock. Each thread keeps its own, so that calls in
// several threads of a process each measure their own limit.
int32_t& operationStart();
// Sets operationStart to now, and the moment from which the time limit is
// measured.
void startOperation();

// The host's time limit has passed: a limit is set and its seconds have
// elapsed since the start of the operation. The elapsed time is measured
// with the monotonic clock to the millisecond, so that a call ends at its
// limit and not up to a second after it.
bool timeLimitPassed(uint32_t timeoutSeconds);
// What is left of the host's time limit, in milliseconds (0 once it has
// passed); -1 when there is no limit.
int64_t timeLeftMilliseconds(uint32_t timeoutSeconds);
// A wait of `milliseconds`, cut short to what is left of the time limit.
int64_t waitWithinLimit(uint32_t timeoutSeconds, int64_t milliseconds);

class Deadline {
public:
    // No end: a wait lasts until what it waits for happens.
    static Deadline none() { return Deadline(); }
    // The host's time limit (none for 0).
    static Deadline limit(uint32_t timeoutSeconds);
    // `milliseconds` from now.
    static Deadline after(int64_t milliseconds);
    // `milliseconds` from now, or the host's time limit if it comes first.
    static Deadline limitOrAfter(uint32_t timeoutSeconds, int64_t milliseconds);

    bool bounded() const { return atMilliseconds_ >= 0 || limitSeconds_ != 0; }
    bool passed() const;
    // What is left until the deadline, in milliseconds; -1 when unbounded.
    int64_t leftMilliseconds() const;
    // How long the next wait may last before passed() must be asked again:
    // at most a second, so that a calendar limit is seen on time; -1 when
    // the deadline is unbounded.
    int32_t nextWaitMilliseconds() const;

private:
    int64_t atMilliseconds_ = -1;  // monotonic clock; -1: none
    uint32_t limitSeconds_ = 0;    // host's limit; 0: none
};

}  // namespace dyadc
